#include "remoteadmin/accounts_throttle.h"

#include <algorithm>

namespace kv {

bool TLoginThrottle::Refused(const std::string& address) {
  TLockGuard lock(mutex_);
  const auto it = states_.find(address);
  return it != states_.end() && clock_.SteadyMs() < it->second.refused_until;
}

bool TLoginThrottle::RecordFailure(const std::string& address) {
  TLockGuard lock(mutex_);
  const int64_t now = clock_.SteadyMs();
  if (states_.size() >= kMaxAddresses && !states_.count(address)) Forget(now);
  TState& s = states_[address];
  s.last_seen = now;
  while (!s.failures.empty() && now - s.failures.front() >= kWindowMs) s.failures.pop_front();
  s.failures.push_back(now);
  if (static_cast<int>(s.failures.size()) < kFailures || now < s.refused_until) return false;
  s.failures.clear();
  s.refused_until = now + kBlockMs;
  return true;
}

void TLoginThrottle::RecordSuccess(const std::string& address) {
  TLockGuard lock(mutex_);
  const auto it = states_.find(address);
  if (it != states_.end() && clock_.SteadyMs() >= it->second.refused_until) states_.erase(it);
}

void TLoginThrottle::Forget(int64_t now) {
  // First whatever no longer counts; if that frees nothing, the stalest.
  std::erase_if(states_, [&](const auto& item) {
    return now >= item.second.refused_until &&
           (item.second.failures.empty() || now - item.second.failures.back() >= kWindowMs);
  });
  if (states_.size() < kMaxAddresses) return;
  // A refusal that is running goes last.
  const auto stalest = std::min_element(states_.begin(), states_.end(), [&](const auto& a, const auto& b) {
    const bool a_refused = now < a.second.refused_until, b_refused = now < b.second.refused_until;
    if (a_refused != b_refused) return !a_refused;
    return a.second.last_seen < b.second.last_seen;
  });
  states_.erase(stalest);
}

}  // namespace kv
