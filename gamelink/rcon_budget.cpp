// The shared token bucket in front of every rcon request, with its queue by
// priority.
#include "gamelink/rcon_budget.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "core/clock.h"
#include "gamelink/rcon.h"

namespace kv {

TRconBudget::TRconBudget(int32_t burst, int32_t per_minute, const TShutdownFlag* shutdown)
    : shutdown_(shutdown),
      burst_(burst),
      per_minute_(per_minute),
      tokens_(std::max(burst, 0)),
      refilled_at_(SteadyMs()) {}

void TRconBudget::Refill(int64_t now_ms) {
  if (now_ms > refilled_at_ && !Unlimited())
    tokens_ = std::min<double>(burst_,
                               tokens_ + static_cast<double>(now_ms - refilled_at_) * per_minute_ / 60'000.0);
  refilled_at_ = now_ms;
}

void TRconBudget::Configure(int32_t burst, int32_t per_minute) {
  TLockGuard lock(mutex_);
  if (burst == burst_ && per_minute == per_minute_) return;
  Refill(SteadyMs());
  const bool was_unlimited = Unlimited();
  burst_ = burst;
  per_minute_ = per_minute;
  // Coming from no limit the bucket starts full, as at start-up.
  tokens_ = was_unlimited ? std::max(burst, 0) : std::min<double>(tokens_, std::max(burst, 0));
  ++changes_;
  cv_.NotifyAll();
}

bool TRconBudget::Acquire(TRconPriority priority, int64_t max_wait_ms) {
  const TShutdownFlag::TWake shutdown_wakes(shutdown_, cv_);
  TUniqueLock lock(mutex_);
  if (cancelled_) return false;
  if (Unlimited()) return true;
  const int64_t deadline = SteadyMs() + max_wait_ms;
  const std::pair<int, uint64_t> ticket(priority, next_ticket_++);
  waiting_.insert(ticket);
  bool granted = false;
  for (;;) {
    if (cancelled_ || Terminating()) break;
    if (Unlimited()) {
      granted = true;
      break;
    }
    const int64_t now = SteadyMs();
    Refill(now);
    const bool first = *waiting_.begin() == ticket;
    if (first && tokens_ >= 1.0) {
      tokens_ -= 1.0;
      granted = true;
      break;
    }
    if (now >= deadline) break;
    // Only the first in line has a token to wait for; the others sleep
    // until the line moves (or their own bound passes).
    int64_t wake_at = deadline;
    if (first) {
      const auto due = static_cast<int64_t>(std::ceil((1.0 - tokens_) * 60'000.0 / per_minute_));
      wake_at = std::min(wake_at, now + std::max<int64_t>(due, 1));
    }
    const uint64_t seen = changes_;
    cv_.WaitUntil(lock, wake_at,
                  [&]() REQUIRES(mutex_) { return changes_ != seen || cancelled_ || Terminating(); });
    ++wakeups_;
  }
  waiting_.erase(ticket);
  ++changes_;
  cv_.NotifyAll();  // the next in line may be first now
  return granted;
}

void TRconBudget::Cancel() {
  TLockGuard lock(mutex_);
  cancelled_ = true;
  cv_.NotifyAll();
}

int32_t TRconBudget::Available() {
  TLockGuard lock(mutex_);
  Refill(SteadyMs());
  return static_cast<int32_t>(tokens_);
}

uint64_t TRconBudget::Wakeups() {
  TLockGuard lock(mutex_);
  return wakeups_;
}

size_t TRconBudget::Waiting() {
  TLockGuard lock(mutex_);
  return waiting_.size();
}

}  // namespace kv
