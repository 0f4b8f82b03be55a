// The shared token bucket in front of every rcon request, with its queue by
// priority.
#include "gamelink/rcon_budget.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "core/clock.h"
#include "gamelink/rcon.h"

namespace kv {

namespace {
// A waiter looks again at least this often: the shutdown flag wakes nobody.
constexpr int64_t kRecheckMs = 50;
// A manual clock moves only when a test moves it.
constexpr int64_t kManualRecheckMs = 5;
}  // namespace

TRconBudget::TRconBudget(int32_t burst, int32_t per_minute)
    : burst_(burst), per_minute_(per_minute), tokens_(std::max(burst, 0)), refilled_at_(SteadyMs()) {}

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
  cv_.notify_all();
}

bool TRconBudget::Acquire(TRconPriority priority, int64_t max_wait_ms) {
  TUniqueLock lock(mutex_);
  if (cancelled_) return false;
  if (Unlimited()) return true;
  const int64_t deadline = SteadyMs() + max_wait_ms;
  const std::pair<int, uint64_t> ticket(priority, next_ticket_++);
  waiting_.insert(ticket);
  bool granted = false;
  for (;;) {
    if (cancelled_ || RconTerminating()) break;
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
    int64_t wait = deadline - now;
    if (first)
      wait = std::min(wait, static_cast<int64_t>(std::ceil((1.0 - tokens_) * 60'000.0 / per_minute_)));
    wait = std::clamp<int64_t>(wait, 1, Clock().IsManual() ? kManualRecheckMs : kRecheckMs);
    cv_.wait_for(lock.native(), std::chrono::milliseconds(wait));
  }
  waiting_.erase(ticket);
  cv_.notify_all();  // the next in line may be first now
  return granted;
}

void TRconBudget::Cancel() {
  TLockGuard lock(mutex_);
  cancelled_ = true;
  cv_.notify_all();
}

int32_t TRconBudget::Available() {
  TLockGuard lock(mutex_);
  Refill(SteadyMs());
  return static_cast<int32_t>(tokens_);
}

size_t TRconBudget::Waiting() {
  TLockGuard lock(mutex_);
  return waiting_.size();
}

}  // namespace kv
