// Failed password checks counted per peer address: after kFailures
// failures within kWindowMs the address is refused for kBlockMs, so a
// password cannot be guessed at network speed. Time comes from the
// injectable clock (SteadyMs). Any thread; one leaf lock.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>

#include "core/clock.h"
#include "core/thread_annotations.h"

namespace kv {

class TLoginThrottle {
 public:
  static constexpr int kFailures = 5;
  static constexpr int64_t kWindowMs = 60'000;
  static constexpr int64_t kBlockMs = 60'000;
  // Addresses remembered at most; the stalest go first when more arrive,
  // so a flood of addresses cannot grow the table without end.
  static constexpr size_t kMaxAddresses = 4096;

  explicit TLoginThrottle(TClock& clock) : clock_(clock) {}

  // True while the address is refused.
  bool Refused(const std::string& address);
  // Counts a failed check. True when this failure starts a refusal (the
  // caller says so on the bus once).
  bool RecordFailure(const std::string& address);
  // A successful check forgets the address's failures.
  void RecordSuccess(const std::string& address);

 private:
  struct TState {
    std::deque<int64_t> failures;  // SteadyMs of the failures within the window
    int64_t refused_until = 0;
    int64_t last_seen = 0;
  };
  void Forget(int64_t now) REQUIRES(mutex_);

  TClock& clock_;
  TMutex mutex_;  // a leaf: guards states_
  std::unordered_map<std::string, TState> states_ GUARDED_BY(mutex_);
};

}  // namespace kv
