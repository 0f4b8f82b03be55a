// Status polling: fixed-column parsing of the "Status" reply, the ping
// statistics, the carry-over of what the status never reports (skins, team,
// weapon), and the publication of the new current player list.
#include "gamelink/userinfo.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <mutex>
#include <vector>

#include "core/bus.h"
#include "core/clock.h"
#include "domain/domain.h"
#include "domain/events.h"
#include "domain/settings.h"
#include "formats/config.h"
#include "gamelink/logparser.h"
#include "gamelink/rcon.h"

namespace kv {

namespace {

// Serialises the publishing step of overlapping polls (the worker and a
// manual refresh), so "NewUserList" events leave in the order the lists
// became current. Taken before the current-list lock and before posting.
std::mutex g_publish_mutex;

// The characters [begin, end) of a line, clamped to the line.
std::string Slice(const std::string& s, int64_t begin, int64_t end) {
  begin = std::max<int64_t>(begin, 0);
  end = std::min<int64_t>(end, static_cast<int64_t>(s.size()));
  return begin < end ? s.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin)) : std::string();
}

// Removes blanks and control characters at both ends.
std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// A trimmed decimal integer, or -1 when the text is not one.
int32_t IntOrMinusOne(const std::string& text) {
  const std::string t = Trim(text);
  const char* first = t.data();
  if (!t.empty() && t[0] == '+') ++first;
  int32_t value = 0;
  const auto [end, ec] = std::from_chars(first, t.data() + t.size(), value);
  if (t.empty() || ec != std::errc() || end != t.data() + t.size()) return -1;
  return value;
}

// Lines ended by CR LF, LF or CR; a line end at the very end adds no line.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

void FillIdentity(const TMohaaServerInfo& info, TUserList& list) {
  const std::shared_ptr<const TServerIdentityFn> fn = info.ServerIdentitySource();
  if (fn && *fn) (*fn)(list.game_type, list.server_name);
}

// Copies every skin, team and weapon the old list knew into the new rows of
// the same client number.
void CarryOver(const TUserList* old, TUserList& list) {
  if (!old) return;
  const auto old_rows = old->Rows();
  list.ForEachRow([&](TUserListEntry& row) {
    if (row.client_number == kClientNotSet) return;
    const auto it = std::find_if(old_rows.begin(), old_rows.end(), [&](const TUserListEntry& o) {
      return o.client_number == row.client_number;
    });
    if (it == old_rows.end()) return;
    for (auto field : {&TUserListEntry::allied_model, &TUserListEntry::german_model,
                       &TUserListEntry::team_name, &TUserListEntry::weapon})
      if ((*it).*field != "unknown") row.*field = (*it).*field;
  });
}

}  // namespace

void SetServerIdentitySource(TMohaaServerInfo& info, TServerIdentityFn fn) {
  info.SetServerIdentitySource(std::move(fn));
}

bool IsStatusDashLine(const std::string& line) {
  return line.find('-') != std::string::npos && line.find_first_not_of("- ") == std::string::npos;
}

TStatusLayout StatusLayoutOf(const std::string& header, const std::string& dashes) {
  // Runs of dashes, or else the header's words, each start a column.
  const auto columns = [](const std::string& line, bool dashed) {
    std::vector<std::pair<int32_t, int32_t>> out;  // start, width
    for (size_t i = 0; i < line.size();) {
      if (line[i] == ' ') {
        ++i;
        continue;
      }
      const size_t end = std::min(line.find(' ', i), line.size());
      if (dashed && line.compare(i, end - i, std::string(end - i, '-')) != 0) return decltype(out)();
      out.emplace_back(static_cast<int32_t>(i), static_cast<int32_t>(end - i));
      i = end;
    }
    return out;
  };
  TStatusLayout layout;
  auto found = columns(dashes, true);
  if (found.size() != layout.start.size()) {
    found = columns(header, false);
    if (found.size() != layout.start.size()) return layout;
    // A title is not as wide as its column: each column reaches to the next
    // title; the last keeps its usual width.
    for (size_t i = 0; i + 1 < found.size(); ++i) found[i].second = found[i + 1].first - found[i].first - 1;
    found.back().second = layout.width.back();
  }
  for (size_t i = 0; i < found.size(); ++i) {
    layout.start[i] = found[i].first;
    layout.width[i] = found[i].second;
  }
  return layout;
}

std::string AddressWithoutPort(const std::string& text) {
  std::string address = text;
  if (!address.empty() && address[0] == '[') {
    const size_t close = address.find(']');
    address = address.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  }
  // One colon separates a port; more make an IPv6 address, shown without one.
  if (std::count(address.begin(), address.end(), ':') == 1) address.erase(address.find(':'));
  return address;
}

bool ParseStatusRow(const std::string& line, const std::string& map, TUserListEntry& row,
                    const TStatusLayout& layout) {
  const auto& start = layout.start;
  const auto& width = layout.width;
  const auto left = [&](size_t i) { return Slice(line, start[i], start[i] + width[i]); };
  const auto gap = [&](size_t i) { return start[i + 1] - start[i] - width[i]; };
  // A name longer than its column pushes the columns after it along, so
  // those are counted from the end of the line.
  const int64_t rate_begin = static_cast<int64_t>(line.size()) - width[7];
  const int64_t qport_begin = rate_begin - gap(6) - width[6];
  const int64_t address_begin = qport_begin - gap(5) - width[5];
  const int64_t lastmsg_end = address_begin - gap(4);
  row = TUserListEntry();
  row.client_number = IntOrMinusOne(left(0));
  row.score = IntOrMinusOne(left(1));
  row.ping = IntOrMinusOne(left(2));
  row.rate = IntOrMinusOne(Slice(line, rate_begin, rate_begin + width[7]));
  row.qport = IntOrMinusOne(Slice(line, qport_begin, qport_begin + width[6]));
  row.address = AddressWithoutPort(Trim(Slice(line, address_begin, qport_begin)));
  // Only the last five digits of lastmsg count.
  row.last_message = IntOrMinusOne(Slice(line, lastmsg_end - 5, lastmsg_end));
  row.name = Trim(Slice(line, start[3], lastmsg_end - width[4]));
  row.map = map;
  return row.client_number != -1 && row.ping != -1 && row.rate != -1 && row.qport != -1 &&
         row.last_message != -1;
}

std::unique_ptr<TUserList> ParseStatusReply(const std::string& reply) {
  const auto lines = SplitLines(reply);
  if (lines.size() <= 2 || lines[2].find("core ping name") == std::string::npos ||
      lines[1].find("map: ") == std::string::npos)
    return nullptr;
  auto list = std::make_unique<TUserList>();
  list->map_name = Slice(lines[1], 5, static_cast<int64_t>(lines[1].size()));
  const TStatusLayout layout = StatusLayoutOf(lines[2], lines.size() > 3 ? lines[3] : std::string());
  std::vector<TUserListEntry> rows;
  for (size_t i = 3; i < lines.size(); ++i) {
    if (lines[i].empty() || IsStatusDashLine(lines[i])) continue;
    TUserListEntry row;
    if (ParseStatusRow(lines[i], list->map_name, row, layout)) rows.push_back(std::move(row));
  }
  list->SetRows(std::move(rows));
  return list;
}

void ComputePingStatistics(TUserList& list) {
  const auto rows = list.Rows();
  int32_t min_ping = INT32_MAX, max_ping = 0, connecting = 0;
  int64_t sum = 0;
  for (const auto& r : rows) {
    min_ping = std::min(min_ping, r.ping);
    if (r.ping == kConnectingPing) {
      ++connecting;
      continue;
    }
    max_ping = std::max(max_ping, r.ping);
    sum += r.ping;
  }
  list.min_ping = min_ping == INT32_MAX ? 0 : min_ping;
  list.max_ping = max_ping;
  list.connecting = connecting;
  // Halves round to even, as the average always has.
  list.avg_ping =
      rows.empty() ? 0 : static_cast<int32_t>(std::nearbyint(static_cast<double>(sum) / rows.size()));
}

void SortLongestNameFirst(TUserList& list) {
  auto rows = list.Rows();
  std::stable_sort(rows.begin(), rows.end(), [](const TUserListEntry& a, const TUserListEntry& b) {
    return a.name.size() > b.name.size();
  });
  list.SetRows(std::move(rows));
}

bool GetNewUserList(TMohaaServerInfo& info, std::string* problem) {
  if (RconTerminating(info)) return false;
  const std::string reply = SendMohaMessage(info, "Status", false, -1, rpPoll);
  std::unique_ptr<TUserList> list = ParseStatusReply(FromConsoleCodePage(info.Settings(), reply));
  if (!list) {
    if (problem && !RconTerminating(info)) *problem = RconProblemText(reply);
    return false;
  }
  info.last_status_reply.store(Now());
  FillIdentity(info, *list);

  std::lock_guard publish(g_publish_mutex);
  bool map_changed = false;
  std::unique_ptr<TUserList> published;
  // Carry-over and replacement in one hold of the lock, so a skin, team or
  // weapon written to the old list in between cannot get lost.
  info.players.With([&](std::unique_ptr<TUserList>& current) {
    CarryOver(current.get(), *list);
    ComputePingStatistics(*list);
    SortLongestNameFirst(*list);
    map_changed = !current || current->map_name != list->map_name;
    current = std::move(list);
    published = CopyUserList(*current);
  });
  // Posted outside the current-list lock: posting takes the bus lock, which
  // ranks above it.
  if (map_changed) PostEvent(std::make_shared<TMohaaEvent>(ekMapChange, published->map_name));
  auto event = std::make_shared<TMohaaEvent>(ekNewUserList);
  event->player_list = std::move(published);
  PostEvent(std::move(event));
  return true;
}

// --- TUserInfoThread ------------------------------------------------------

// The worker's interval is only the pause after each poll (also before a
// failed one is tried again); in between it sleeps until the next poll is
// due (WaitUntilDue).
TUserInfoThread::TUserInfoThread(TMohaaServerInfo& info)
    : TWorkerThread("TUserInfoThread", 100), info_(info) {}

void TUserInfoThread::Enable(bool on) {
  enabled_.store(on);
  wait_cv_.NotifyAll();
}

void TUserInfoThread::Terminate() {
  TWorkerThread::Terminate();
  wait_cv_.NotifyAll();
}

bool TUserInfoThread::WaitUntilDue() {
  for (;;) {
    if (Terminated()) return false;
    double due_at = 0;
    try {
      const int32_t seconds = info_.Settings().Int("UserRefrestTimer");
      due_at = last_refresh_.load() + seconds / kSecondsPerDay;
    } catch (const std::exception& e) {
      PostGlobal(std::string("GetNewUserList - FLastListRefresh Calc failed with: ") + e.what(), mlCritical);
      return false;
    }
    // A poll is due once the clock is later than the interval after the last.
    const bool enabled = enabled_.load();
    const auto due = [&] { return Now() > due_at; };
    if (enabled && due()) return true;
    int64_t deadline = TClockCondition::kNoDeadline;
    if (enabled) {
      // The first millisecond after the interval; a changed interval is
      // read when this one ends.
      constexpr double kFarMs = 1e12;  // about 30 years
      const double left = std::min((due_at - Now()) * kMsPerDay, kFarMs);
      deadline = SteadyMs() + static_cast<int64_t>(std::ceil(left)) + 1;
    }
    std::unique_lock lock(wait_mutex_);
    wait_cv_.WaitUntil(lock, deadline,
                       [&] { return Terminated() || enabled_.load() != enabled || (enabled && due()); });
    wakeups_.fetch_add(1, std::memory_order_relaxed);
  }
}

void TUserInfoThread::Prepare() { last_refresh_.store(0.0); }

void TUserInfoThread::ReportPollState(bool polled, const std::string& problem) {
  // One message when polling starts to fail and one when it works again:
  // the operator learns why the player list stands still without a line
  // every few seconds.
  if (polled && failing_) {
    failing_ = false;
    PostGlobal(kStatusPollRecoveredText, mlInformation);
  } else if (!polled && !problem.empty() && !failing_) {
    failing_ = true;
    PostGlobal(kStatusPollFailedText + problem, mlCritical);
  }
}

void TUserInfoThread::Iteration() {
  if (!WaitUntilDue()) return;
  try {
    std::string problem;
    const bool polled = GetNewUserList(info_, &problem);
    last_refresh_.store(Now());
    ReportPollState(polled, problem);
  } catch (const std::exception& e) {
    // Not advanced: the poll is tried again on the next tick.
    PostGlobal(std::string("GetNewUserList failed with: ") + e.what(), mlCritical);
  }
}

}  // namespace kv
