// One rcon request from datagram to reply: the two request dialects, the
// wait with its time-out rule, the joining of a split reply, and what every
// reply triggers (the log parser, the "NewRconLog" event).
#include "gamelink/rcon.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_set>
#include <vector>

#include "core/bus.h"
#include "core/mainloop.h"
#include "domain/domain.h"
#include "domain/events.h"
#include "domain/settings.h"
#include "formats/config.h"

namespace kv {

namespace {

std::atomic<uint64_t> g_reply_wait_wakeups{0};

// Without that descriptor a reply wait looks at the flag this often.
constexpr int64_t kNoWakeFdSliceMs = 10;

// Network time-outs run on real time: a test's manual clock must not keep a
// socket wait open forever.
int64_t RealMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Removes every occurrence of `what`; letters compare without case.
void RemoveAll(std::string& text, const std::string& what) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (i + what.size() <= text.size() &&
        std::equal(what.begin(), what.end(), text.begin() + static_cast<std::ptrdiff_t>(i),
                   [](char a, char b) {
                     return std::tolower(static_cast<unsigned char>(a)) ==
                            std::tolower(static_cast<unsigned char>(b));
                   })) {
      i += what.size();
      continue;
    }
    out += text[i++];
  }
  text.swap(out);
}

void HandToSink(TMohaaServerInfo& info, const std::string& reply) {
  const std::shared_ptr<const TRconReplySink> sink = info.RconReplySink();
  if (!sink || !*sink) return;
  try {
    (*sink)(info, reply);
  } catch (...) {
    PostGlobal("LogEventCheck failed", mlDebug);
  }
}

// Appends a datagram's text to the reply, never beyond the size cap; false
// once the cap is reached.
bool TakeDatagram(std::string& reply, const std::string& datagram, bool first) {
  const std::string text = first ? datagram : StripReplyHeader(datagram);
  const size_t room = kRconMaxReplyBytes - std::min(reply.size(), kRconMaxReplyBytes);
  reply.append(text, 0, std::min(room, text.size()));
  return text.size() < room;
}

// Waits for the first datagram, then joins the further datagrams of a split
// reply while each follows within the gap, until the reply's form shows it
// is complete. A datagram equal to one already taken is a duplicate of the
// same reply (the network or the server sent it twice) and is dropped, so
// only the first reply counts. Joining stops at the size cap and the join
// time cap. Ends early on a socket error, at shutdown or on the caller's
// cancel. Returns true when the time-out ran out without a reply.
bool AwaitReply(TUDPClient& client, const TShutdownFlag& shutdown, const TShutdownFlag* cancel,
                const std::string& command, int64_t deadline, bool& failed, std::string& reply) {
  std::unordered_set<std::string> taken;
  const int cancel_fd = shutdown.Fd();
  const int cancel_fd2 = cancel ? cancel->Fd() : -1;
  while (!failed && !shutdown.IsSet() && !(cancel && cancel->IsSet())) {
    const int64_t now = RealMs();
    if (now >= deadline) return taken.empty();
    // Asleep until a datagram, the deadline, the end of the gap or shutdown.
    int64_t wait = deadline - now;
    if (!taken.empty()) wait = std::min<int64_t>(wait, kRconFollowUpGapMs);
    if (cancel_fd < 0 || (cancel && cancel_fd2 < 0)) wait = std::min(wait, kNoWakeFdSliceMs);
    const bool data = client.WaitData(static_cast<int>(wait), cancel_fd, cancel_fd2);
    g_reply_wait_wakeups.fetch_add(1, std::memory_order_relaxed);
    if (!data) {
      if (!taken.empty()) return false;  // the gap passed: the reply is complete
      continue;
    }
    std::string datagram;
    if (!client.Read(datagram)) continue;
    if (taken.count(datagram)) continue;
    const bool first = taken.empty();
    if (first) deadline = std::min(deadline, RealMs() + kRconMaxJoinMs);
    const bool room_left = TakeDatagram(reply, datagram, first);
    taken.insert(std::move(datagram));
    if (!room_left) {
      // The first word only: the rest of a command may be a password.
      PostGlobal("Rcon reply cut at " + std::to_string(kRconMaxReplyBytes) +
                     " bytes: " + command.substr(0, command.find(' ')),
                 mlError);
      return false;
    }
    if (ReplyLooksComplete(command, reply)) return false;
  }
  return false;
}

}  // namespace

std::string BuildRconDatagram(bool quake_style, const std::string& password, const std::string& command) {
  std::string d = "\xFF\xFF\xFF\xFF";
  if (!quake_style) d += '\x02';
  d += "rcon ";
  d += password;
  d += ' ';
  d += command;
  return d;
}

std::string QuakeCleanup(std::string reply) {
  RemoveAll(reply, "^7 ");
  // "^7" directly before a double quote: drop the caret-seven, keep the quote.
  std::string out;
  out.reserve(reply.size());
  for (size_t i = 0; i < reply.size(); ++i) {
    if (reply[i] == '^' && i + 2 < reply.size() && reply[i + 1] == '7' && reply[i + 2] == '"') {
      ++i;
      continue;
    }
    out += reply[i];
  }
  return out;
}

bool ReplyLooksComplete(const std::string& command, const std::string& reply) {
  const std::string text = StripReplyHeader(reply);
  if (text == "Bad rconpassword.\n" || text == "No rconpassword set on the server.\n") return true;
  const size_t start = command.find_first_not_of(' ');
  if (start == std::string::npos) return false;
  std::string word = command.substr(start, command.find(' ', start) - start);
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // Every line ends with a line end and no row is empty: an empty line can
  // only be the one that closes the list.
  if (word == "status") {
    const auto ends_with = [&](const char* tail) {
      const std::string t(tail);
      return text.size() >= t.size() && text.compare(text.size() - t.size(), t.size(), t) == 0;
    };
    return ends_with("\n\n") || ends_with("\n\r\n");
  }
  return false;
}

std::string RconProblemText(const std::string& result) {
  if (result.empty()) return "no reply";
  if (result.compare(0, 4, "\xFF\xFF\xFF\xFF") != 0) return result;  // an error or time-out text
  const std::string text = StripReplyHeader(result);
  std::string line;
  for (size_t i = 0; i < text.size() && line.size() < 120; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n' || c == '\r') {
      if (!line.empty()) break;
      continue;
    }
    if (c >= 0x20 && c != 0x7F) line += static_cast<char>(c);
  }
  return line.empty() ? "empty reply" : line;
}

std::string StripReplyHeader(const std::string& datagram) {
  static const std::string kFF = "\xFF\xFF\xFF\xFF";
  if (datagram.compare(0, 4, kFF) != 0) return datagram;
  size_t pos = 4;
  if (pos < datagram.size() && datagram[pos] == '\x01') ++pos;
  if (datagram.compare(pos, 6, "print\n") == 0) return datagram.substr(pos + 6);
  return datagram;
}

uint64_t RconReplyWaitWakeups() { return g_reply_wait_wakeups.load(std::memory_order_relaxed); }

TRconResult PerformRconRequest(TMohaaServerInfo& info, const std::string& command, int timeout_seconds,
                               TRconPriority priority, const TShutdownFlag* cancel) {
  TLiveCount<TCounter::RequestThreads> counted;
  const TSettingsReader keys = info.Settings();
  const bool quake = keys.Bool("QuakeRCON");
  const int timeout = timeout_seconds == -1 ? keys.Int("UDPTimeOut") : timeout_seconds;
  TRconResult result;
  bool failed = false;
  TUDPClient client;
  client.OnError = [&](TCustomWSocket&, int code, const std::string& msg) {
    result.error = msg;
    result.error_code = code;
    failed = true;
  };
  bool timed_out = false;
  // One value for the whole request: a reload meanwhile applies to the next.
  const std::shared_ptr<const TRconSettings> settings = info.rcon.Get();
  try {
    const std::string datagram = BuildRconDatagram(quake, settings->password, command);
    if (datagram.size() > kRconMaxDatagram) throw std::length_error(kRconTooLongText);
    if (command.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
      throw std::invalid_argument(kRconLineBreakText);
    if (RconTerminating(info) || (cancel && cancel->IsSet())) failed = true;
    if (!failed && info.rcon_budget) {
      info.rcon_budget->Configure(keys.Int("RconBurst"), keys.Int("RconRatePerMinute"));
      failed = !info.rcon_budget->Acquire(priority);
      // At shutdown the result stays empty, as for any request cut short then.
      if (failed && !RconTerminating(info)) result.error = kRconBudgetText;
    }
    client.Host = info.GetServerIP();
    client.Port = settings->port.empty() ? "12203" : settings->port;
    if (!failed && client.Open()) {
      // The wait ends once the elapsed time, rounded to whole seconds,
      // exceeds the time-out: half a second after it.
      const int64_t deadline = RealMs() + int64_t{timeout} * 1000 + 500;
      client.Send(datagram);
      timed_out = AwaitReply(client, info.rcon_terminating, cancel, command, deadline, failed, result.reply);
    }
  } catch (const std::exception& e) {
    result.error = e.what();
  }
  client.Close();
  if (timed_out && result.error.empty()) result.error = kRconTimeoutText;
  if (quake) result.reply = QuakeCleanup(result.reply);
  HandToSink(info, result.reply);
  PostEvent(std::make_shared<TMohaaEvent>(ekNewRconLog, result.reply));
  return result;
}

std::string SendMohaMessage(TMohaaServerInfo& info, const std::string& command, bool keep_responsive,
                            int timeout_seconds, TRconPriority priority) {
  try {
    TMainLoop* loop = MainLoop();
    if (!keep_responsive || !loop || !loop->IsLoopThread())
      return PerformRconRequest(info, command, timeout_seconds, priority).Text();
    // On the main loop: the request runs beside it while the loop keeps
    // serving timers and synchronised subscribers.
    auto done = std::make_shared<std::atomic<bool>>(false);
    TRconResult result;
    std::exception_ptr failure;
    std::thread worker([&] {
      try {
        result = PerformRconRequest(info, command, timeout_seconds, priority);
      } catch (...) {
        failure = std::current_exception();
      }
      done->store(true);
      loop->Wake();  // the loop is inside RunUntil below until this thread is joined
    });
    loop->RunUntil([&] { return done->load(); }, int64_t{24} * 3600 * 1000, TMainLoop::kNoRecheck);
    worker.join();
    if (failure) std::rethrow_exception(failure);
    return result.Text();
  } catch (const std::exception& e) {
    PostGlobal(
        std::string("SendMohaMessage error on sending Message Error:") + e.what() + " Command:" + command,
        mlCritical);
  }
  return {};
}

}  // namespace kv
