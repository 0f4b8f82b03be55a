// The one clock every time-dependent piece reads. Tests install a manual
// clock and move time instead of sleeping.
#pragma once

#include <cstdint>
#include <mutex>

namespace kv {

class TClock {
 public:
  virtual ~TClock() = default;
  // Local wall time as a date-time (days since 1899-12-30).
  virtual double Now() const = 0;
  // Monotonic milliseconds, for intervals and time-outs.
  virtual int64_t SteadyMs() const = 0;
  // True for clocks that only move when told to; waiters then re-check the
  // clock at short real intervals instead of sleeping until a deadline.
  virtual bool IsManual() const { return false; }
};

class TSystemClock : public TClock {
 public:
  double Now() const override;
  int64_t SteadyMs() const override;
};

// Time stands still until Advance or Set moves it. Thread-safe.
class TManualClock : public TClock {
 public:
  explicit TManualClock(double now = 45000.5, int64_t steady_ms = 1'000'000);
  double Now() const override;
  int64_t SteadyMs() const override;
  void Advance(int64_t ms);  // moves both wall and monotonic time
  void SetNow(double now);   // moves the wall time only
  bool IsManual() const override { return true; }

 private:
  mutable std::mutex mutex_;
  double now_;
  int64_t steady_;
};

// The process-wide clock. Defaults to the system clock.
TClock& Clock();
// Installs a clock (tests); nullptr restores the system clock. The caller
// keeps the clock alive while it is installed.
void SetClock(TClock* clock);

inline double Now() { return Clock().Now(); }
inline int64_t SteadyMs() { return Clock().SteadyMs(); }

// Conversions between date-times and Unix time (local time zone).
double UnixToDateTime(int64_t unix_seconds, int millis = 0);
int64_t DateTimeToUnix(double dt);

inline constexpr double kMsPerDay = 86'400'000.0;
inline constexpr double kSecondsPerDay = 86'400.0;

}  // namespace kv
