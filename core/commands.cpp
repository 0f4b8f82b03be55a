#include "core/commands.h"

#include <atomic>
#include <cctype>
#include <exception>
#include <thread>

#include "core/cp1252.h"

namespace kv {

namespace {

constexpr const char* kBlanks = " \t";

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

TCommandResult Failure(const std::string& error, std::string text) {
  TCommandResult r;
  r.ok = false;
  r.data["error"] = error;
  r.text = std::move(text);
  return r;
}

// A background handler waits on the loop in slices of this length; the
// helper wakes the loop when it is done, so the slices only bound one wait.
constexpr int64_t kBackgroundSliceMs = 60'000;

}  // namespace

std::string_view CommandThreadName(TCommandThread thread) {
  switch (thread) {
    case TCommandThread::MainLoop: return "main loop";
    case TCommandThread::Caller: return "caller";
    case TCommandThread::Background: return "background";
  }
  return "?";
}

std::string TCommand::UsageText() const { return "usage: " + (usage.empty() ? Synopsis() : usage); }

std::string TCommand::Synopsis() const { return args.empty() ? name : name + " " + args; }

TCommandLine ParseCommandLine(const std::string& input) {
  std::string line = input;
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  const size_t start = line.find_first_not_of(kBlanks);
  if (start == std::string::npos) return {};
  const size_t word_end = line.find_first_of(kBlanks, start);
  TCommandLine parsed;
  parsed.name =
      Lower(line.substr(start, word_end == std::string::npos ? std::string::npos : word_end - start));
  const size_t arg_start =
      word_end == std::string::npos ? word_end : line.find_first_not_of(kBlanks, word_end);
  if (arg_start != std::string::npos) parsed.args = line.substr(arg_start);
  return parsed;
}

void TCommandTable::Add(TCommand command) {
  if (command.name.empty() || command.name != Lower(command.name) ||
      command.name.find_first_of(kBlanks) != std::string::npos)
    throw std::logic_error("command name must be one lower-case word: '" + command.name + "'");
  if (Find(command.name)) throw std::logic_error("command '" + command.name + "' registered twice");
  if (!command.handler) throw std::logic_error("command '" + command.name + "' has no handler");
  commands_.push_back(std::move(command));
}

const TCommand* TCommandTable::Find(std::string_view name) const {
  for (const TCommand& c : commands_)
    if (c.name == name) return &c;
  return nullptr;
}

TCommandResult TCommandTable::RunLine(const TCommandContext& context, const std::string& line) const {
  const TCommandLine parsed = ParseCommandLine(line);
  if (parsed.name.empty()) return {};
  return Run(context, parsed.name, parsed.args);
}

TCommandResult TCommandTable::Run(const TCommandContext& context, const std::string& name,
                                  const std::string& args) const {
  const TCommand* command = Find(name);
  if (!command) {
    TCommandResult r =
        Failure("unknown command", "unknown command '" + Cp1252ToUtf8(name) + "' (" + CommandList() + ")");
    r.data["commands"] = nlohmann::json::array();
    for (const TCommand& c : commands_) r.data["commands"].push_back(c.name);
    return r;
  }
  if (!command->right.empty() && context.allowed && !context.allowed(command->right))
    return Failure("not allowed", "'" + command->name + "' needs the right '" + command->right + "'");
  if (command->needs_args && args.empty()) {
    TCommandResult r = Failure("usage", command->UsageText());
    r.data["usage"] = r.text;
    return r;
  }
  return Dispatch(*command, context, args);
}

TCommandResult TCommandTable::Dispatch(const TCommand& command, const TCommandContext& context,
                                       const std::string& args) const {
  // Every handler is guarded here: a command that fails answers so and
  // leaves whichever thread ran it going.
  const auto guarded = [&]() -> TCommandResult {
    try {
      return command.handler(context, args);
    } catch (const ECommandUsage&) {
      TCommandResult r = Failure("usage", command.UsageText());
      r.data["usage"] = r.text;
      return r;
    } catch (const std::exception& e) {
      return Failure(Cp1252ToUtf8(e.what()), "'" + command.name + "' failed: " + Cp1252ToUtf8(e.what()));
    }
  };
  TCommandResult result;
  switch (command.thread) {
    case TCommandThread::Caller: return guarded();
    case TCommandThread::MainLoop:
      if (loop_.Invoke([&] { result = guarded(); })) return result;
      return Failure("shutting down", "Kelvandrome is going down: '" + command.name + "' was not run");
    case TCommandThread::Background:
      if (!loop_.IsLoopThread()) return guarded();
      break;
  }
  // On the loop: the handler runs beside it while the loop serves on.
  std::atomic<bool> done{false};
  std::thread helper([&] {
    result = guarded();
    done = true;
    loop_.Wake();
  });
  while (!loop_.RunUntil([&] { return done.load(); }, kBackgroundSliceMs)) {
  }
  helper.join();
  return result;
}

std::string TCommandTable::CommandList() const {
  std::string list;
  for (const TCommand& c : commands_) list += (list.empty() ? "" : ", ") + c.Synopsis();
  return list;
}

std::string TCommandTable::HelpText() const {
  size_t width = 0;
  for (const TCommand& c : commands_) width = std::max(width, c.Synopsis().size());
  std::string text;
  for (const TCommand& c : commands_) {
    const std::string synopsis = c.Synopsis();
    text += (text.empty() ? "" : "\n") + synopsis + std::string(width - synopsis.size() + 2, ' ') + c.help;
  }
  return text;
}

nlohmann::json TCommandTable::Describe() const {
  nlohmann::json list = nlohmann::json::array();
  for (const TCommand& c : commands_) {
    list.push_back({{"name", c.name},
                    {"args", c.args},
                    {"usage", c.UsageText()},
                    {"help", c.help},
                    {"thread", CommandThreadName(c.thread)},
                    {"right", c.right}});
  }
  return list;
}

std::string CommandResultJson(const std::string& command, const TCommandResult& result) {
  const nlohmann::json j = {
      {"command", command}, {"ok", result.ok}, {"data", result.data}, {"text", result.text}};
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace kv
