// The ping window's sums and the ping filter.
#include "rules/ping.h"

#include <algorithm>
#include <numeric>

namespace kv {

bool CompilePingIgnore(TPingRuleSettings& s, const std::string& address_pattern,
                       const std::string& nick_pattern, std::string& error) {
  s.ignore_address.reset();
  s.ignore_nick.reset();
  s.invalid = false;
  std::string why;
  if (!address_pattern.empty() && !(s.ignore_address = TPattern::Compile(address_pattern, why))) {
    error = "PingIgnore [" + address_pattern + "] is not valid: " + why;
    s.invalid = true;
  }
  if (!nick_pattern.empty() && !(s.ignore_nick = TPattern::Compile(nick_pattern, why))) {
    error += (error.empty() ? "" : "; ") + std::string("PingIgnoreNick [") + nick_pattern +
             "] is not valid: " + why;
    s.invalid = true;
  }
  return !s.invalid;
}

int64_t PingSum(const std::vector<int32_t>& samples) {
  return std::accumulate(samples.begin(), samples.end(), int64_t{0});
}

int64_t LowPingSum(const std::vector<int32_t>& samples) {
  if (samples.empty() || std::find(samples.begin(), samples.end(), 0) != samples.end())
    return std::numeric_limits<int32_t>::max();
  return PingSum(samples);
}

bool PingFilterPasses(const TPingRuleSettings& s, const std::string& address, const std::string& nick) {
  if (!s.check_enabled || s.invalid) return false;
  if (s.ignore_address && s.ignore_address->Search(address)) return false;
  if (s.ignore_nick && s.ignore_nick->Search(nick)) return false;
  return true;
}

TPingVerdict JudgePing(const TPingRuleSettings& s, const std::vector<int32_t>& samples) {
  if (PingSum(samples) > s.time_max) return TPingVerdict::TooHigh;
  if (s.time_min > 0 && LowPingSum(samples) < s.time_min) return TPingVerdict::TooLow;
  return TPingVerdict::Fine;
}

}  // namespace kv
