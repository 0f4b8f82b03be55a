#include "app/service_commands.h"

#include <algorithm>
#include <cctype>

#include "app/processes.h"
#include "app/service.h"
#include "core/bus.h"
#include "core/cp1252.h"
#include "domain/settings.h"
#include "gamelink/console.h"
#include "gamelink/rcon.h"
#include "gamelink/ssh_session.h"

namespace kv {

namespace {

using TJson = nlohmann::json;

TCommandResult Text(bool ok, std::string text, TJson data = TJson::object()) {
  return TCommandResult{ok, std::move(data), std::move(text)};
}

// start and stop answer with the lifecycle's status line.
TCommandResult LifecycleAnswer(TServiceLifecycle& lifecycle) {
  return Text(true, lifecycle.Status(), {{"running", lifecycle.Running()}, {"status", lifecycle.Status()}});
}

TCommandResult Status(TServiceLifecycle& lifecycle) {
  const bool running = lifecycle.Running();
  return Text(true, running ? "Kelvandrome running" : "Kelvandrome stopped",
              {{"running", running},
               {"restart_pending", lifecycle.RestartPending()},
               {"retry_pending", lifecycle.RetryPending()}});
}

TCommandResult Setup(TKelvandromeService& service, const std::string& args) {
  const size_t gap = args.find_first_of(" \t");
  std::string action = args.substr(0, gap);
  for (char& c : action) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t file_start = gap == std::string::npos ? gap : args.find_first_not_of(" \t", gap);
  const std::string file = file_start == std::string::npos ? "" : args.substr(file_start);
  if (file.empty() || (action != "export" && action != "import")) throw ECommandUsage();
  const bool out = action == "export";
  const std::string answer = out ? service.ExportSetupFile(file) : service.ImportSetupFile(file);
  // An import whose settings or data files could not all be written says
  // so after " - ": done, but not completely.
  const std::string done = out ? "Setup saved to " : "Setup loaded from ";
  const bool ok = answer.rfind(done, 0) == 0 && answer.find(" - ") == std::string::npos;
  return Text(ok, answer, {{"action", action}, {"file", Cp1252ToUtf8(file)}});
}

TCommandResult Say(TKelvandromeService& service, const std::string& text) {
  // The operator's own words: sent as typed, in the background with the
  // usual retries; what became of them follows as a message.
  SendOperatorMessage(service.ServerInfo(), text, [text](bool delivered, const std::string& why) {
    if (delivered)
      PostGlobal("Operator message said: " + text, mlInformation);
    else
      PostGlobal("Operator message not delivered (" + why + "): " + text, mlCritical);
  });
  return Text(true, "saying: " + Cp1252ToUtf8(text), {{"text", Cp1252ToUtf8(text)}});
}

TCommandResult Rcon(TKelvandromeService& service, const std::string& command) {
  const std::string reply =
      Cp1252ToUtf8(TerminalText(StripReplyHeader(SendMohaMessage(service.ServerInfo(), command))));
  return Text(true, reply, {{"command", Cp1252ToUtf8(command)}, {"reply", reply}});
}

TCommandResult Plink(TKelvandromeService& service, const std::string& args) {
  // The clients of running SSH sessions are no orphans.
  std::vector<int> orphans = FindPlinkOrphans(service.Home());
  const std::vector<int> live = SshClientPids();
  std::erase_if(orphans, [&live](int pid) { return std::find(live.begin(), live.end(), pid) != live.end(); });
  const bool kill = args == "kill";
  TJson data = {{"pids", orphans}, {"killed", kill}};
  if (kill) {
    KillProcesses(orphans);
    return Text(true, "ended " + std::to_string(orphans.size()) + " plink process(es)", std::move(data));
  }
  if (orphans.empty()) return Text(true, "no plink zombies found", std::move(data));
  std::string list;
  for (int pid : orphans) list += " " + std::to_string(pid);
  return Text(true, "Found plink zombies, kill them ? (processes" + list + "; 'plink kill' ends them)",
              std::move(data));
}

}  // namespace

void RegisterServiceCommands(TCommandTable& table, TKelvandromeService& service) {
  using T = TCommandThread;
  using TArgs = const std::string&;
  using TContext = const TCommandContext&;
  TKelvandromeService* svc = &service;
  table.Add({.name = "start",
             .help = "start the service (the configured log follower, the player-list refresh)",
             .thread = T::MainLoop,
             .right = "server",
             .handler = [svc](TContext, TArgs) {
               svc->Lifecycle().Start();
               return LifecycleAnswer(svc->Lifecycle());
             }});
  table.Add({.name = "stop",
             .help = "stop the log follower and the player-list refresh",
             .thread = T::MainLoop,
             .right = "server",
             .handler = [svc](TContext, TArgs) {
               svc->Lifecycle().Stop();
               return LifecycleAnswer(svc->Lifecycle());
             }});
  table.Add({.name = "status",
             .help = "say whether the service runs",
             .thread = T::MainLoop,
             .handler = [svc](TContext, TArgs) { return Status(svc->Lifecycle()); }});
  table.Add({.name = "save",
             .help = "save every data file",
             .thread = T::MainLoop,
             .right = "setup",
             .handler = [svc](TContext, TArgs) {
               const bool ok = svc->SaveConfig();
               return Text(ok, ok ? kStatusConfigSaved : "save failed (see the messages above)");
             }});
  table.Add({.name = "load",
             .help = "load every setting and data file again",
             .thread = T::MainLoop,
             .right = "setup",
             .handler = [svc](TContext, TArgs) {
               const bool ok = svc->LoadConfig();
               return Text(ok, ok ? kStatusConfigLoaded : "load failed (see the messages above)");
             }});
  table.Add({.name = "setup",
             .args = "export|import FILE",
             .usage = "setup export FILE | setup import FILE",
             .help = "write the whole setup to one enciphered file, or read one and apply it",
             .thread = T::MainLoop,
             .right = "setup",
             .needs_args = true,
             .handler = [svc](TContext, TArgs args) { return Setup(*svc, args); }});
  table.Add({.name = "say",
             .args = "TEXT",
             .help = "say a text to all players, exactly as typed",
             .thread = T::Caller,
             .right = "say",
             .needs_args = true,
             .handler = [svc](TContext, TArgs args) { return Say(*svc, args); }});
  table.Add({.name = "rcon",
             .args = "COMMAND",
             .help = "send one console command and print the reply",
             .thread = T::Background,
             .right = "rcon",
             .needs_args = true,
             .handler = [svc](TContext, TArgs args) { return Rcon(*svc, args); }});
  table.Add({.name = "plink",
             .args = "[kill]",
             .help = "list (or end) left-over plink processes of old SSH sessions",
             .thread = T::Background,
             .right = "admin",
             .handler = [svc](TContext, TArgs args) { return Plink(*svc, args); }});
}

void RegisterClosingCommands(TCommandTable& table, TKelvandromeService& service) {
  using T = TCommandThread;
  using TArgs = const std::string&;
  using TContext = const TCommandContext&;
  TKelvandromeService* svc = &service;
  const TCommandTable* tbl = &table;
  table.Add({.name = "quit",
             .help = "shut down cleanly",
             .thread = T::Caller,
             .right = "admin",
             .handler = [svc](TContext, TArgs) {
               svc->RequestStop();
               return Text(true, "Kelvandrome is going down .....");
             }});
  table.Add(
      {.name = "help", .help = "list the commands", .thread = T::Caller, .handler = [tbl](TContext, TArgs) {
         return Text(true, tbl->HelpText(), {{"commands", tbl->Describe()}});
       }});
}

}  // namespace kv
