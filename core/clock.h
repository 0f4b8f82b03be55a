// The one clock every time-dependent piece reads, and the condition that
// waits on it. Tests install a manual clock and move time instead of
// sleeping; moving it wakes every waiter, so nothing has to poll it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <utility>

#include "core/thread_annotations.h"

namespace kv {

class TClock {
 public:
  virtual ~TClock() = default;
  // Local wall time as a date-time (days since 1899-12-30).
  virtual double Now() const = 0;
  // Monotonic milliseconds, for intervals and time-outs.
  virtual int64_t SteadyMs() const = 0;
  // True for clocks that only move when told to. A TClockCondition waits on
  // such a clock without a real time-out: the clock wakes it when it moves.
  virtual bool IsManual() const { return false; }
};

class TSystemClock : public TClock {
 public:
  double Now() const override;
  int64_t SteadyMs() const override;
};

// Time stands still until Advance or SetNow moves it; each move wakes every
// TClockCondition so that waiters look at the new time. Thread-safe.
class TManualClock : public TClock {
 public:
  explicit TManualClock(double now = 45000.5, int64_t steady_ms = 1'000'000);
  double Now() const override;
  int64_t SteadyMs() const override;
  void Advance(int64_t ms);  // moves both wall and monotonic time
  void SetNow(double now);   // moves the wall time only
  bool IsManual() const override { return true; }

 private:
  mutable TMutex mutex_;
  double now_ GUARDED_BY(mutex_);
  int64_t steady_ GUARDED_BY(mutex_);
};

// The process-wide clock. Defaults to the system clock.
TClock& Clock();
// Installs a clock (tests); nullptr restores the system clock. The caller
// keeps the clock alive while it is installed. Wakes every TClockCondition,
// so a wait computed on the old clock is computed again on the new one.
void SetClock(TClock* clock);

inline double Now() { return Clock().Now(); }
inline int64_t SteadyMs() { return Clock().SteadyMs(); }

// Conversions between date-times and Unix time (local time zone).
double UnixToDateTime(int64_t unix_seconds, int millis = 0);
int64_t DateTimeToUnix(double dt);

// A condition variable whose deadlines are read on the injectable clock.
//
// On the system clock a wait sleeps until the deadline or a notification. On
// a manual clock it sleeps until a notification or until the clock moves
// (Advance, SetNow, SetClock wake every condition); it then checks the
// predicate and the deadline against the new time. No wait ever re-checks at
// a fixed interval.
//
// Usage is that of std::condition_variable_any: the waiter holds `lock`
// (any BasicLockable, normally a std::unique_lock<std::mutex>); whoever
// changes what the predicate reads changes it under that lock, or at least
// before calling NotifyAll. The lock is released while blocked and held
// again when the predicate is checked and when the wait returns.
//
// Locks: the condition's own mutex is a leaf; the process-wide list of
// conditions is taken by construction, destruction and clock moves, and
// only the conditions' own mutexes are taken under it.
class TClockCondition {
 public:
  // A clock deadline that never comes: wait for the predicate only.
  static constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::max();
  using TRealTime = std::chrono::steady_clock::time_point;
  static constexpr TRealTime kNoRealLimit = TRealTime::max();

  TClockCondition();
  TClockCondition(const TClockCondition&) = delete;
  TClockCondition& operator=(const TClockCondition&) = delete;
  ~TClockCondition();

  // Wakes every waiter; each checks its predicate again. Any thread.
  void NotifyAll();

  // Waits until pred() is true or the clock reaches deadline_ms (SteadyMs).
  // Returns the last value of pred().
  template <class Lock, class Pred>
  bool WaitUntil(Lock& lock, int64_t deadline_ms, Pred pred) {
    return WaitUntil(lock, deadline_ms, kNoRealLimit, std::move(pred));
  }
  // The same with a bound in real time as well, which holds whatever clock
  // is installed: for waits that must end in real time (shutdown bounds).
  // Like the standard condition variables it is opaque to the lock
  // analysis: the caller holds `lock` and declares its predicate REQUIRES.
  template <class Lock, class Pred>
  bool WaitUntil(Lock& lock, int64_t deadline_ms, TRealTime real_limit, Pred pred) NO_THREAD_SAFETY_ANALYSIS {
    for (;;) {
      // Taken before the predicate is read: a notification or a clock move
      // after this point makes Block return at once, so none is lost.
      const uint64_t seen = Generation();
      if (pred()) return true;
      if (deadline_ms != kNoDeadline && SteadyMs() >= deadline_ms) return false;
      if (real_limit != kNoRealLimit && std::chrono::steady_clock::now() >= real_limit) return false;
      lock.unlock();
      Block(seen, deadline_ms, real_limit);
      lock.lock();
    }
  }
  template <class Lock, class Pred>
  bool WaitFor(Lock& lock, int64_t ms, Pred pred) {
    const int64_t now = SteadyMs();
    const int64_t deadline = ms >= kNoDeadline - now ? kNoDeadline : now + ms;
    return WaitUntil(lock, deadline, std::move(pred));
  }
  template <class Lock, class Pred>
  void Wait(Lock& lock, Pred pred) {
    WaitUntil(lock, kNoDeadline, std::move(pred));
  }

 private:
  uint64_t Generation();
  // Sleeps until the generation differs from `seen`, the clock deadline (on
  // a clock that is not manual) or the real limit. Called without `lock`.
  void Block(uint64_t seen, int64_t deadline_ms, TRealTime real_limit);

  std::mutex mutex_;  // guards generation_
  std::condition_variable cv_;
  uint64_t generation_ = 0;
};

inline constexpr double kMsPerDay = 86'400'000.0;
inline constexpr double kSecondsPerDay = 86'400.0;

}  // namespace kv
