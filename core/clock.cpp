#include "core/clock.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>

namespace kv {
namespace {

// 1899-12-30 is 25569 days before 1970-01-01.
constexpr double kUnixEpochDays = 25569.0;

TSystemClock& SystemClock() {
  static TSystemClock clock;
  return clock;
}

std::atomic<TClock*> g_clock{nullptr};

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
  std::lock_guard lock(mutex_);
  return now_;
}

int64_t TManualClock::SteadyMs() const {
  std::lock_guard lock(mutex_);
  return steady_;
}

void TManualClock::Advance(int64_t ms) {
  std::lock_guard lock(mutex_);
  steady_ += ms;
  now_ += static_cast<double>(ms) / kMsPerDay;
}

void TManualClock::SetNow(double now) {
  std::lock_guard lock(mutex_);
  now_ = now;
}

TClock& Clock() {
  TClock* c = g_clock.load(std::memory_order_acquire);
  return c ? *c : SystemClock();
}

void SetClock(TClock* clock) { g_clock.store(clock, std::memory_order_release); }

}  // namespace kv
