// The operator's commands as one table: each entry names the command, its
// arguments, its help, the thread it runs on and the right it needs, and
// its handler returns structured data beside the text for a terminal. The
// terminal dispatches through it; any other front end (a web console, a
// JSON interface, remote administration) uses the same entries.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/mainloop.h"

namespace kv {

// Where a handler runs.
enum class TCommandThread {
  // On the main loop: the caller waits (Invoke); on the loop itself at once.
  // For commands that touch what the loop owns (the lifecycle, the data
  // files, the settings).
  MainLoop,
  // On the thread that dispatches: quick, thread-safe handlers.
  Caller,
  // Never on the main loop: blocking work (a network request, waiting for
  // processes). From another thread it runs there; from the loop it runs on
  // a helper thread while the loop keeps serving until it is done.
  Background,
};

std::string_view CommandThreadName(TCommandThread thread);  // "main loop", "caller", "background"

// What one command did. `text` is the rendering for a terminal (UTF-8, one
// or more lines); `data` the same result for programs (UTF-8 strings).
struct TCommandResult {
  bool ok = true;
  nlohmann::json data = nlohmann::json::object();
  std::string text;
};

// Who asks. The local terminal holds every right; front ends for remote
// users fill `allowed` from the user's rights.
struct TCommandContext {
  std::string origin = "terminal";
  // Whether the caller holds a right; unset: every right.
  std::function<bool(const std::string& right)> allowed;
};

// Thrown by a handler whose arguments do not fit; the dispatch answers
// with the entry's usage.
class ECommandUsage : public std::runtime_error {
 public:
  ECommandUsage() : std::runtime_error("usage") {}
};

// Every field has a default, so entries are written with designated
// initializers naming only what differs.
struct TCommand {
  using THandler = std::function<TCommandResult(const TCommandContext&, const std::string& args)>;

  std::string name{};  // lower case, one word
  std::string args{};  // the arguments as the command list shows them ("TEXT", "[kill]"); may be empty
  // The full usage line after "usage: "; empty: name + " " + args.
  std::string usage{};
  std::string help{};  // one line
  TCommandThread thread = TCommandThread::MainLoop;
  // The right a caller needs ("server", "say", "rcon", "setup", "admin");
  // empty: none.
  std::string right{};
  // Arguments are required: an empty argument text gets the usage without
  // calling the handler.
  bool needs_args = false;
  THandler handler{};

  std::string UsageText() const;  // "usage: say TEXT"
  std::string Synopsis() const;   // "say TEXT", "start"
};

// A command line split the terminal's way: the first word, lower case (ASCII
// letters only), is the name; everything after the blanks that follow it is
// the argument text, kept as typed apart from trailing spaces and carriage
// returns. An empty or blank line has no name.
struct TCommandLine {
  std::string name;
  std::string args;
};
TCommandLine ParseCommandLine(const std::string& line);

class TCommandTable {
 public:
  // `loop` runs the MainLoop commands and must outlive the table.
  explicit TCommandTable(TMainLoop& loop) : loop_(loop) {}
  TCommandTable(const TCommandTable&) = delete;
  TCommandTable& operator=(const TCommandTable&) = delete;

  // Registers an entry, in the order the help lists them. Throws
  // std::logic_error for an empty or duplicate name or a missing handler.
  // During start-up, before any dispatch (the table is not locked).
  void Add(TCommand command);
  const std::vector<TCommand>& Commands() const { return commands_; }
  const TCommand* Find(std::string_view name) const;

  // Runs the command on the thread its entry names and returns its result.
  // An unknown name, a missing right, missing arguments and a handler's
  // exception come back as results with ok = false (data "error"). Any
  // thread.
  TCommandResult Run(const TCommandContext& context, const std::string& name, const std::string& args) const;
  // ParseCommandLine + Run; a blank line gives an empty result.
  TCommandResult RunLine(const TCommandContext& context, const std::string& line) const;

  // "start, stop, ..., quit": every synopsis in table order.
  std::string CommandList() const;
  // One line per command: synopsis, then its help.
  std::string HelpText() const;
  // The table as data: name, args, usage, help, thread, right of each entry.
  nlohmann::json Describe() const;

 private:
  TCommandResult Dispatch(const TCommand& command, const TCommandContext& context,
                          const std::string& args) const;
  TMainLoop& loop_;
  std::vector<TCommand> commands_;
};

// A result as one JSON object: {"command", "ok", "data", "text"}. Bytes that
// are no UTF-8 are replaced, so any text renders.
std::string CommandResultJson(const std::string& command, const TCommandResult& result);

}  // namespace kv
