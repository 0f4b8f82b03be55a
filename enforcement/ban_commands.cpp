// The operator's ban commands: "ban add", "ban list", "ban del".
#include <cstdint>

#include "core/cp1252.h"
#include "core/datetime_format.h"
#include "core/regional.h"
#include "enforcement/banwatch.h"
#include "enforcement/pattern.h"

namespace kv {
namespace {

using TJson = nlohmann::json;

// Splits off the first word of `rest`; a word that starts with a double
// quote runs to the next one (patterns with blanks). False when the quote
// is not closed.
bool TakeWord(std::string& rest, std::string& word) {
  const size_t start = rest.find_first_not_of(" \t");
  if (start == std::string::npos) {
    word.clear();
    rest.clear();
    return true;
  }
  size_t end;
  if (rest[start] == '"') {
    end = rest.find('"', start + 1);
    if (end == std::string::npos) return false;
    word = rest.substr(start + 1, end - start - 1);
    ++end;
  } else {
    end = rest.find_first_of(" \t", start);
    word = rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
  }
  rest = end == std::string::npos ? std::string() : rest.substr(end);
  return true;
}

std::string TrimLeft(const std::string& s) {
  const size_t start = s.find_first_not_of(" \t");
  return start == std::string::npos ? std::string() : s.substr(start);
}

std::string EndText(double end) {
  if (end == 0) return "never";
  if (!IsValidDateTime(end)) return "?";
  return regional::DateTimeToStr(end);
}

TJson BanJson(size_t number, const TBanListEntry& b) {
  return {{"number", number},
          {"nick_filter", Cp1252ToUtf8(b.nick_filter)},
          {"address_filter", Cp1252ToUtf8(b.address_filter)},
          {"ac_id", Cp1252ToUtf8(b.ac_id)},
          {"end", b.end},
          {"end_text", EndText(b.end)},
          {"message", Cp1252ToUtf8(b.message)}};
}

std::string BanLine(size_t number, const TBanListEntry& b) {
  std::string line = std::to_string(number) + ".";
  if (!b.ac_id.empty()) line += " id [" + b.ac_id + "]";
  if (!b.nick_filter.empty()) line += " nick [" + b.nick_filter + "]";
  if (!b.address_filter.empty()) line += " ip [" + b.address_filter + "]";
  line += " until " + EndText(b.end) + ": " + b.message;
  return Cp1252ToUtf8(line);
}

TCommandResult List(TBanList& list) {
  const auto bans = list.Entries();
  TJson items = TJson::array();
  std::string text = bans.empty() ? "no bans" : "";
  for (size_t i = 0; i < bans.size(); ++i) {
    items.push_back(BanJson(i + 1, bans[i]));
    text += (i ? "\n" : "") + BanLine(i + 1, bans[i]);
  }
  return {true, {{"bans", items}}, text};
}

TCommandResult Add(TBanList& list, std::string rest) {
  std::string kind, pattern, minutes_text;
  if (!TakeWord(rest, kind) || !TakeWord(rest, pattern) || pattern.empty()) throw ECommandUsage();
  kind = AnsiLowerCase(kind);
  if (kind != "nick" && kind != "ip") throw ECommandUsage();
  // Minutes are optional: a first word that is no number starts the message.
  int64_t minutes = 0;
  std::string after_minutes = rest;
  if (TakeWord(after_minutes, minutes_text) && regional::TryStrToInt(minutes_text, minutes)) {
    if (minutes < 0 || minutes > INT32_MAX)
      return {false, {{"error", "bad minutes"}}, "minutes must be 0 (never ends) or more"};
    rest = after_minutes;
  }
  const std::string message = TrimLeft(rest);
  std::string error;
  const bool valid = TPattern::Compile(pattern, error) != nullptr;
  const bool by_nick = kind == "nick";
  if (!valid && !by_nick)
    return {false, {{"error", "invalid pattern"}}, Cp1252ToUtf8("not a valid address pattern: " + error)};
  const int32_t index = by_nick ? list.AddBan(pattern, "", message, static_cast<int32_t>(minutes))
                                : list.AddBan("", pattern, message, static_cast<int32_t>(minutes));
  std::string text = index >= 0 ? "ban " + std::to_string(index + 1) + " added" : "existing ban updated";
  if (!valid) text += " (the nick pattern is no valid expression: it strikes names containing it as text)";
  TJson data = {{"kind", kind},
                {"pattern", Cp1252ToUtf8(pattern)},
                {"minutes", minutes},
                {"message", Cp1252ToUtf8(message)},
                {"added", index >= 0}};
  if (index >= 0) data["number"] = index + 1;
  return {true, data, text};
}

TCommandResult Delete(TBanList& list, const std::string& rest) {
  int64_t number = 0;
  if (!regional::TryStrToInt(TrimLeft(rest), number)) throw ECommandUsage();
  if (number < 1 || !list.RemoveAt(static_cast<size_t>(number - 1)))
    return {false,
            {{"error", "no such ban"}},
            "no ban number " + std::to_string(number) + " (ban list shows them)"};
  return {true, {{"number", number}}, "ban " + std::to_string(number) + " removed"};
}

TCommandResult BanCommand(TBanList& list, const std::string& args) {
  std::string rest = args, action;
  TakeWord(rest, action);
  action = AnsiLowerCase(action);
  if (action == "list" && TrimLeft(rest).empty()) return List(list);
  if (action == "add") return Add(list, rest);
  if (action == "del") return Delete(list, rest);
  throw ECommandUsage();
}

}  // namespace

void TBanWatch::RegisterCommands(TCommandTable& commands) {
  commands.Add({.name = "ban",
                .args = "add|list|del ...",
                .usage = "ban add nick|ip PATTERN [MINUTES] [MESSAGE] | ban list | ban del NUMBER",
                .help =
                    "ban players by nick or address pattern (MINUTES 0 or none: for ever), list the bans, "
                    "remove one",
                .thread = TCommandThread::Caller,
                .right = "server",
                .needs_args = true,
                .handler = [this](const TCommandContext&, const std::string& args) {
                  return BanCommand(list_, args);
                }});
}

}  // namespace kv
