// The service's own operator commands (start, stop, status, save, load,
// setup, say, rcon, plink, quit, help), registered in its command table.
#pragma once

#include "core/commands.h"

namespace kv {

class TKelvandromeService;

// Adds the service's commands to `table`, in the order the command list
// shows them. The service and the table must outlive every dispatch.
void RegisterServiceCommands(TCommandTable& table, TKelvandromeService& service);
// "quit" and "help", which close the list: registered after the commands of
// the service's parts.
void RegisterClosingCommands(TCommandTable& table, TKelvandromeService& service);

}  // namespace kv
