#include "gamelink/logparser.h"

#include <exception>

#include "core/bus.h"
#include "core/clock.h"
#include "core/cp1252.h"
#include "domain/settings.h"
#include "domain/userlist.h"
#include "formats/config.h"
#include "gamelink/logparser_rules.h"

namespace kv {

namespace {

bool IsStampChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == ' ' || c == '-' ||
         c == ':' || c == '.' || c == '+';
}

// "[yyyy-mm-dd <time> <zone>] ": a date first and only stamp characters
// inside, so that a player whose name starts with "[" keeps his name.
size_t TimeStampLength(std::string_view line) {
  constexpr size_t kMaxStamp = 64;
  constexpr std::string_view kDateShape = "[dddd-dd-dd";
  if (line.size() < kDateShape.size() + 2) return 0;
  for (size_t i = 0; i < kDateShape.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (kDateShape[i] == 'd' ? !digit : line[i] != kDateShape[i]) return 0;
  }
  for (size_t i = kDateShape.size(); i < line.size() && i < kMaxStamp; ++i) {
    if (line[i] == ']') return i + 1 < line.size() && line[i + 1] == ' ' ? i + 2 : 0;
    if (!IsStampChar(line[i])) return 0;
  }
  return 0;
}

// "{#<client> | <address>} ".
size_t ContextLength(std::string_view line) {
  constexpr size_t kMaxContext = 128;
  if (line.size() < 4 || line[0] != '{' || line[1] != '#' || line[2] < '0' || line[2] > '9') return 0;
  size_t i = 2;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
  if (line.substr(i, 3) != " | ") return 0;
  for (i += 3; i < line.size() && i < kMaxContext; ++i) {
    if (line[i] == '{') return 0;
    if (line[i] == '}') return i + 1 < line.size() && line[i + 1] == ' ' ? i + 2 : 0;
  }
  return 0;
}

std::string_view SkipControlBytes(std::string_view line) {
  while (!line.empty() && (static_cast<unsigned char>(line.front()) < 0x20 || line.front() == 0x7F))
    line.remove_prefix(1);
  return line;
}

std::shared_ptr<TMohaaEvent> MakeEvent(const TRuleState& state, const std::string& line) {
  auto event = std::make_shared<TMohaaEvent>(state.kind, state.event_text);
  event->log_entry = std::make_unique<TLogEntry>();
  event->log_entry->first_player = state.first;
  event->log_entry->second_player = state.second;
  event->log_entry->line = line;
  for (const auto& [name, value] : state.variables) event->variables.SetValue(name, TVariant(value));
  return event;
}

}  // namespace

std::string_view StripLinePrefixes(std::string_view line) {
  line = SkipControlBytes(line);
  line.remove_prefix(TimeStampLength(line));
  line = SkipControlBytes(line);
  line.remove_prefix(ContextLength(line));
  return SkipControlBytes(line);
}

std::string FromConsoleCodePage(const TSettingsReader& settings, std::string_view text) {
  constexpr int32_t kOem437 = 437;
  if (settings.Int("ConsoleCodePage") == kOem437) return Cp437ToCp1252(text);
  return std::string(text);
}

TLogEventChecker::TLogEventChecker(const TSettingsReader& settings)
    : last_check_time_(Now()), quake_(settings.Bool("QuakeRCON")) {}

TServerLogEventChecker::TServerLogEventChecker(TWeaponClassifyFn classify, const TSettingsReader& settings)
    : TLogEventChecker(settings), classify_(std::move(classify)) {}

void TServerLogEventChecker::CheckLogForEvents(const TMohaaServerInfo* server, const std::string& line) {
  try {
    if (auto event = Recognise(server, line)) PostEvent(std::move(event));
  } catch (const std::exception& e) {
    PostGlobal(
        std::string("TAntiCheatLogEventChecker error on CheckLogForEvents:") + e.what() + " LogEntry:" + line,
        mlDebug);
  } catch (...) {
    PostGlobal("TAntiCheatLogEventChecker error on CheckLogForEvents:unknown error LogEntry:" + line,
               mlDebug);
  }
}

std::shared_ptr<TMohaaEvent> TServerLogEventChecker::Recognise(const TMohaaServerInfo* server,
                                                               const std::string& line) {
  last_check_time_.store(Now(), std::memory_order_relaxed);
  TRuleState state;
  if (server) state.dialect = *server->dialect.Get();
  state.quake = quake_;
  const std::string_view body = StripLinePrefixes(line);
  // Names are matched while the current-list lock is held, so that the rows
  // copied into the log entry are the ones whose names were found.
  // Without a server there are no players to find.
  const bool have_list = server && server->players.With([&](std::unique_ptr<TUserList>& list) {
    if (!list) return false;
    names_.Sync(*list);
    state.working.assign(body);
    FindPlayers(names_, *list, state);
    return true;
  });
  if (!have_list) return nullptr;

  if (state.first_found && state.second_found) {
    state.kind = ekKill;
    state.event_text = state.working;
    state.variables.emplace_back("Weapon", classify_ ? classify_(state.working) : int32_t{wcUnknown});
    return MakeEvent(state, line);
  }
  if (!ApplyRules(state)) return nullptr;
  return MakeEvent(state, line);
}

}  // namespace kv
