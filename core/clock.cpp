#include "core/clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <vector>

namespace kv {
namespace {

// 1899-12-30 is 25569 days before 1970-01-01.
constexpr double kUnixEpochDays = 25569.0;

TSystemClock& SystemClock() {
  static TSystemClock clock;
  return clock;
}

std::atomic<TClock*> g_clock{nullptr};

// Every live TClockCondition, so that moving a manual clock or installing
// another clock can wake all waiters.
struct TConditionRegistry {
  std::mutex mutex;  // guards list; conditions' own mutexes are taken under it
  std::vector<TClockCondition*> list;
};

TConditionRegistry& Conditions() {
  static TConditionRegistry registry;
  return registry;
}

// Called after the time has moved (and without the clock's own lock).
void WakeAllConditions() {
  TConditionRegistry& r = Conditions();
  std::lock_guard lock(r.mutex);
  for (TClockCondition* c : r.list) c->NotifyAll();
}

}  // namespace

double UnixToDateTime(int64_t unix_seconds, int millis) {
  time_t t = static_cast<time_t>(unix_seconds);
  struct tm local {};
  localtime_r(&t, &local);
  const double offset = static_cast<double>(local.tm_gmtoff);
  return kUnixEpochDays + (static_cast<double>(unix_seconds) + offset + millis / 1000.0) / kSecondsPerDay;
}

int64_t DateTimeToUnix(double dt) {
  // Interpret dt as local time: first as if it were UTC, then correct by the
  // zone offset that applies at that moment.
  const double as_utc = std::round((dt - kUnixEpochDays) * kSecondsPerDay);
  time_t guess = static_cast<time_t>(as_utc);
  struct tm local {};
  localtime_r(&guess, &local);
  return static_cast<int64_t>(as_utc) - local.tm_gmtoff;
}

double TSystemClock::Now() const {
  using namespace std::chrono;
  const auto now = system_clock::now().time_since_epoch();
  const int64_t ms = duration_cast<milliseconds>(now).count();
  const int64_t seconds = ms / 1000;
  // The zone offset is looked up once a second per thread: localtime_r takes
  // a process-wide lock, and every event of a log burst reads the time.
  thread_local int64_t offset_second = -1;
  thread_local double offset = 0;
  if (seconds != offset_second) {
    time_t t = static_cast<time_t>(seconds);
    struct tm local {};
    localtime_r(&t, &local);
    offset = static_cast<double>(local.tm_gmtoff);
    offset_second = seconds;
  }
  return kUnixEpochDays +
         (static_cast<double>(seconds) + offset + static_cast<int>(ms % 1000) / 1000.0) / kSecondsPerDay;
}

int64_t TSystemClock::SteadyMs() const {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TManualClock::TManualClock(double now, int64_t steady_ms) : now_(now), steady_(steady_ms) {}

double TManualClock::Now() const {
  TLockGuard lock(mutex_);
  return now_;
}

int64_t TManualClock::SteadyMs() const {
  TLockGuard lock(mutex_);
  return steady_;
}

void TManualClock::Advance(int64_t ms) {
  {
    TLockGuard lock(mutex_);
    steady_ += ms;
    now_ += static_cast<double>(ms) / kMsPerDay;
  }
  WakeAllConditions();
}

void TManualClock::SetNow(double now) {
  {
    TLockGuard lock(mutex_);
    now_ = now;
  }
  WakeAllConditions();
}

TClock& Clock() {
  TClock* c = g_clock.load(std::memory_order_acquire);
  return c ? *c : SystemClock();
}

void SetClock(TClock* clock) {
  g_clock.store(clock, std::memory_order_release);
  WakeAllConditions();
}

// --- TClockCondition ---------------------------------------------------------

TClockCondition::TClockCondition() {
  TConditionRegistry& r = Conditions();
  std::lock_guard lock(r.mutex);
  r.list.push_back(this);
}

TClockCondition::~TClockCondition() {
  // After this no clock move reaches the condition any more.
  TConditionRegistry& r = Conditions();
  std::lock_guard lock(r.mutex);
  r.list.erase(std::find(r.list.begin(), r.list.end(), this));
}

void TClockCondition::NotifyAll() {
  std::lock_guard lock(mutex_);
  ++generation_;
  cv_.notify_all();
}

uint64_t TClockCondition::Generation() {
  std::lock_guard lock(mutex_);
  return generation_;
}

void TClockCondition::Block(uint64_t seen, int64_t deadline_ms, TRealTime real_limit) {
  using namespace std::chrono;
  TRealTime limit = real_limit;
  const TClock& clock = Clock();
  if (deadline_ms != kNoDeadline && !clock.IsManual()) {
    // Read the clock outside our own mutex (a clock may lock): a clock
    // installed meanwhile bumps the generation, so the wait ends at once.
    // Clamped so that a far deadline cannot overflow the time point.
    constexpr int64_t kFarMs = int64_t{1} << 40;  // about 35 years
    const int64_t left = std::clamp<int64_t>(deadline_ms - clock.SteadyMs(), 0, kFarMs);
    limit = std::min(limit, steady_clock::now() + milliseconds(left));
  }
  std::unique_lock lock(mutex_);
  auto changed = [&] { return generation_ != seen; };
  if (limit == kNoRealLimit)
    cv_.wait(lock, changed);
  else
    cv_.wait_until(lock, limit, changed);
}

}  // namespace kv
