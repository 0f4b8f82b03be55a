// What applying one configuration set does, worked out from the set before
// anything is sent: the announcement, the delay, the switches of our own
// checks and the console commands in their order with their pauses and
// time-outs. The worker (configlist.h) carries the plan out.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "formats/varlist.h"

namespace kv {

// A set whose values cannot be sent as they are (a double quote or a line
// break inside a quoted value) is refused before anything is sent.
class EConfigPlanError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TConfigCommand {
  int64_t pause_ms = 0;      // waited before the command is sent
  std::string command;       // as sent
  int timeout_seconds = -1;  // -1: the rcon time-out of the settings
  bool operator==(const TConfigCommand&) const = default;
};

struct TConfigSwitch {
  std::string key;  // the setting written
  bool value = false;
  bool operator==(const TConfigSwitch&) const = default;
};

struct TConfigPlan {
  std::string announcement;  // the "say" command; empty: none
  int64_t delay_seconds = 0;
  std::vector<TConfigSwitch> switches;
  std::vector<TConfigCommand> commands;
};

inline constexpr int64_t kConfigCommandPauseMs = 500;  // before each server setting
inline constexpr int64_t kConfigMapPauseMs = 1000;     // before the map and each further command
inline constexpr int kConfigMapTimeoutSeconds = 60;    // a map load takes a while
inline constexpr int kConfigItemTimeoutSeconds = 10;   // further commands without their own
// A further command's own time-out ("restart=30") is kept within this.
inline constexpr int kConfigItemTimeoutMax = 300;

// The items of a comma text: separated by commas or blanks; an item in
// double quotes may hold both, a doubled double quote standing for one.
// Empty items are left out.
std::vector<std::string> SplitCommaText(const std::string& text);

// The plan of a set. Throws EConfigPlanError for a value that cannot be
// sent, and the variable list's conversion error for a value of a type that
// does not fit (a text where a number belongs).
TConfigPlan BuildConfigPlan(const TVarList& set);

}  // namespace kv
