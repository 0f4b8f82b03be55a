// The operator's configuration commands: "config list", "config show NAME",
// "config apply NAME", "config cancel".
#include "core/cp1252.h"
#include "formats/variant.h"
#include "serverconfig/configlist.h"

namespace kv {
namespace {

using TJson = nlohmann::json;

std::string TrimBlanks(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// A name as typed; double quotes around it are taken off.
std::string NameArgument(const std::string& rest) {
  std::string name = TrimBlanks(rest);
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
  return name;
}

// The passwords of a set are shown as set or not, never as text.
bool Secret(std::string_view variable) {
  return SameText(variable, "passwd") || SameText(variable, "privpass");
}

std::string ValueText(std::string_view variable, const TVariant& v) {
  std::string text;
  try {
    text = v.AsString();
  } catch (const std::exception&) {
    text = "?";
  }
  if (Secret(variable)) return text.empty() ? "(none)" : "(set)";
  return text;
}

TCommandResult NoSuchSet(const std::string& name) {
  return {false,
          {{"error", "no such configuration"}},
          Cp1252ToUtf8("no configuration named \"" + name + "\" (config list shows them)")};
}

TCommandResult List(const TMohaaConfigList& list) {
  const auto names = list.Names();
  const std::string running = list.RunningName();
  TJson items = TJson::array();
  std::string text = names.empty() ? "no configurations" : "";
  for (size_t i = 0; i < names.size(); ++i) {
    items.push_back(Cp1252ToUtf8(names[i]));
    text += (i ? "\n" : "") + std::to_string(i + 1) + ". " + Cp1252ToUtf8(names[i]);
    if (!running.empty() && names[i] == running) text += "  (being applied: " + list.Progress() + ")";
  }
  TJson data = {{"configurations", items}, {"busy", list.Busy()}};
  if (!running.empty()) data["running"] = Cp1252ToUtf8(running);
  return {true, data, text};
}

TCommandResult Show(const TMohaaConfigList& list, const std::string& typed) {
  const std::string name = list.ResolveName(typed);
  const auto set = name.empty() ? std::nullopt : list.Find(name);
  if (!set) return NoSuchSet(typed);
  TJson values = TJson::object();
  std::string text = Cp1252ToUtf8(name);
  set->ForEach([&](std::string_view variable, const TVariant& v) {
    const std::string shown = Cp1252ToUtf8(ValueText(variable, v));
    values[Cp1252ToUtf8(variable)] = shown;
    text += "\n  " + Cp1252ToUtf8(variable) + " = " + shown;
  });
  return {true, {{"name", Cp1252ToUtf8(name)}, {"values", values}}, text};
}

TCommandResult Apply(TMohaaConfigList& list, const std::string& typed) {
  const std::string name = list.ResolveName(typed);
  if (name.empty()) return NoSuchSet(typed);
  if (!list.Activate(name)) {
    const std::string running = list.RunningName();
    return {false,
            {{"error", "busy"}},
            Cp1252ToUtf8("another configuration is being applied" +
                         (running.empty() ? std::string() : " (\"" + running + "\")") +
                         "; config cancel ends it")};
  }
  return {true, {{"name", Cp1252ToUtf8(name)}}, Cp1252ToUtf8("applying configuration \"" + name + "\"")};
}

TCommandResult Cancel(TMohaaConfigList& list) {
  const bool busy = list.Busy();
  list.Cancel();
  return {
      true,
      {{"cancelled", busy}},
      busy ? "the configuration being applied stops at its next step" : "no configuration is being applied"};
}

TCommandResult ConfigCommand(TMohaaConfigList& list, const std::string& args) {
  const std::string line = TrimBlanks(args);
  const size_t blank = line.find_first_of(" \t");
  const std::string action = AnsiLowerCase(line.substr(0, blank));
  const std::string rest = blank == std::string::npos ? std::string() : line.substr(blank);
  if (action == "list" && TrimBlanks(rest).empty()) return List(list);
  if (action == "cancel" && TrimBlanks(rest).empty()) return Cancel(list);
  if (action == "show" && !NameArgument(rest).empty()) return Show(list, NameArgument(rest));
  if (action == "apply" && !NameArgument(rest).empty()) return Apply(list, NameArgument(rest));
  throw ECommandUsage();
}

}  // namespace

void TMohaaConfigList::RegisterCommands(TCommandTable& commands) {
  commands.Add({.name = "config",
                .args = "list|show|apply|cancel ...",
                .usage = "config list | config show NAME | config apply NAME | config cancel",
                .help = "list the server configurations, show one, apply one to the game server, cancel the "
                        "one being applied",
                .thread = TCommandThread::Caller,
                .right = "server",
                .needs_args = true,
                .handler = [this](const TCommandContext&, const std::string& args) {
                  return ConfigCommand(*this, args);
                }});
}

}  // namespace kv
