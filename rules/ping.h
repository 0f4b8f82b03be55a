// The ping window of a player's history: the sums the ping checks compare
// with their limits, and the filter that spares players from the ping
// kicks (the operator's address and nick patterns).
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "enforcement/pattern.h"

namespace kv {

struct TPingRuleSettings {
  bool check_enabled = true;   // PingCheckEnabled
  int32_t measure_count = 10;  // PingMessure
  int32_t time_max = 3000;     // PingTime
  int32_t time_min = -1;       // PingTimeMin; off unless above 0
  std::string message = "%playernick% gets kicked because a high ping for a long time (Ping: %playerping%)";
  std::string message_min =
      "%playernick% gets kicked because a to low ping for a long time (Ping: %playerping%)";
  // PingIgnore, PingIgnoreNick: null when empty. An expression that does
  // not compile leaves `invalid` set: nobody is ping-kicked until it is
  // mended (the filter cannot tell whom it spares).
  std::shared_ptr<const TPattern> ignore_address, ignore_nick;
  bool invalid = false;
};

// Compiles the two ignore expressions into s; false (with the reason in
// `error`) when one of them is no valid expression.
bool CompilePingIgnore(TPingRuleSettings& s, const std::string& address_pattern,
                       const std::string& nick_pattern, std::string& error);

// The sum of every slot (64 bits: a damaged or absurd reading cannot wrap).
int64_t PingSum(const std::vector<int32_t>& samples);
// The low-ping sum: a window with a free slot (0) is not full yet and sums
// to the largest 32-bit value, so it never looks too low.
int64_t LowPingSum(const std::vector<int32_t>& samples);
// Whether the checks may kick this player at all.
bool PingFilterPasses(const TPingRuleSettings& s, const std::string& address, const std::string& nick);

enum class TPingVerdict { Fine, TooHigh, TooLow };
// What the window says under these settings (the filter not applied).
TPingVerdict JudgePing(const TPingRuleSettings& s, const std::vector<int32_t>& samples);

}  // namespace kv
