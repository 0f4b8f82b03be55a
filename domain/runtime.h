// What every subsystem of one service shares. The service builds it once,
// after its configuration store, main loop and server state exist, and
// hands it to each subsystem's constructor; a subsystem keeps the reference
// and reaches these objects through it instead of through process-wide
// slots. Everything referred to outlives every subsystem.
#pragma once

#include <filesystem>

#include "core/bus_hub.h"
#include "core/clock.h"
#include "core/commands.h"
#include "core/datafiles.h"
#include "core/mainloop.h"
#include "domain/serverinfo.h"
#include "domain/settings_reader.h"
#include "formats/config.h"

namespace kv {

struct TRuntime {
  std::filesystem::path home;   // absolute home directory
  TClock& clock;                // read time here, never the system clock
  TMainLoop& loop;              // main-loop tasks and timers
  TDynamicConfigData& config;   // the INI store (typed reads: TSettings)
  TDataFileRegistry& registry;  // load/save/export of the data files
  TMohaaServerInfo& server;     // shared server state (player list, rcon budget, ...)
  TCommandTable& commands;      // the operator command table
  // The bus hub the service created (its subscribers flush through it);
  // null where no hub runs (tools, unit tests of one part).
  TMsgMonitorInterface* hub = nullptr;

  // Keys read at their moment of use, through this service's store.
  TSettingsReader Settings() const { return TSettingsReader(&config); }
};

}  // namespace kv
