// The main loop: the one thread that runs the timers, the service's Start and
// Stop, the watchdog and the handlers of synchronised bus subscribers. Other
// threads hand it work with Post (fire and forget) or Invoke (run and wait).
// Timers run on the injectable clock. The loop sleeps until a task arrives
// or the next timer is due; it never wakes just to look.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "core/clock.h"
#include "core/thread_annotations.h"

namespace kv {

class TTimerHandle;

class TMainLoop {
 public:
  using TTask = std::function<void()>;
  using TTimerId = uint64_t;

  TMainLoop();
  TMainLoop(const TMainLoop&) = delete;
  TMainLoop& operator=(const TMainLoop&) = delete;
  // Stops the loop and joins its own thread (StartThread). A loop running on
  // a caller's thread (Run) must have returned before destruction.
  ~TMainLoop();

  // Runs the loop on the calling thread until Stop(). Once per loop.
  void Run();
  // Runs the loop on a thread of its own and returns when it runs.
  void StartThread();
  // Ends the loop: the task or timer in progress finishes, queued tasks are
  // dropped (their Invoke callers get false), later Posts are refused. Any
  // thread; Stop from a loop task ends Run after that task.
  void Stop();

  bool IsLoopThread() const;
  // True from construction until Stop: tasks are accepted.
  bool Accepting() const;

  // Queues fn to run on the loop thread. False when the loop has stopped.
  bool Post(TTask fn);
  // Runs fn on the loop thread and waits for it; on the loop thread itself
  // fn runs at once. Returns false when the loop stopped before fn could
  // run; an exception thrown by fn is rethrown here. Must not be called while
  // holding a lock that loop tasks take.
  bool Invoke(TTask fn);

  // A repeating timer: fn runs on the loop thread every interval_ms of the
  // injectable clock (SteadyMs), the first time one interval from now. A
  // timer late by several intervals runs once and is rescheduled from now.
  TTimerId AddTimer(int64_t interval_ms, TTask fn);
  // After RemoveTimer returns the timer's function is not started again (one
  // that is running on the loop thread at this moment may finish).
  void RemoveTimer(TTimerId id);
  // AddTimer whose timer ends with the returned handle. Any thread.
  [[nodiscard]] TTimerHandle StartTimer(int64_t interval_ms, TTask fn);

  // No periodic re-check in RunUntil (the default): done() is looked at
  // only when something announced a change.
  static constexpr int64_t kNoRecheck = -1;

  // Loop thread only: keeps running tasks and timers while waiting until
  // done() is true or timeout_ms has passed (real time). For waits on other
  // threads that may themselves need the loop (synchronised subscribers).
  // done() is evaluated again after every task and timer the loop runs and
  // after every Wake(); a TGeneralThread wakes the loop when it ends, so a
  // wait for a thread's end needs nothing more. Whoever else changes what
  // done() reads calls Wake(). A recheck_ms >= 0 adds a look every
  // recheck_ms of real time, for a condition nobody can announce; no caller
  // needs one today.
  bool RunUntil(const std::function<bool()>& done, int64_t timeout_ms, int64_t recheck_ms = kNoRecheck);
  // Makes a waiting RunUntil evaluate its done() again (or the next wait
  // return at once, if none is waiting now). Any thread.
  void Wake();

  // How many times the loop has come back from waiting for work (Run and
  // RunUntil): for tests and diagnostics. Any thread.
  uint64_t Wakeups() const;

 private:
  struct TTimer {
    int64_t interval;
    int64_t due;
    std::shared_ptr<TTask> fn;
  };
  // Runs one due timer or one task; false when there was nothing to do.
  bool RunOne() EXCLUDES(mutex_);
  // The clock time at which the next timer is due; kNoDeadline without
  // timers. Under mutex_.
  int64_t NextDue() const REQUIRES(mutex_);
  // Under mutex_ (held by `lock`): sleeps until a task is queued, the next
  // timer is due, the timers change, Wake() is called, real_limit passes or
  // — with until_stop — the loop is stopped.
  void WaitForWork(TUniqueLock& lock, TClockCondition::TRealTime real_limit, bool until_stop)
      REQUIRES(mutex_);
  void RunGuarded(const TTask& fn);

  mutable TMutex mutex_;  // guards everything below
  TClockCondition cv_;
  std::deque<TTask> tasks_ GUARDED_BY(mutex_);
  std::map<TTimerId, TTimer> timers_ GUARDED_BY(mutex_);
  TTimerId next_timer_ GUARDED_BY(mutex_) = 1;
  uint64_t timers_version_ GUARDED_BY(mutex_) = 0;  // bumped when a timer is added
  uint64_t wakeups_ GUARDED_BY(mutex_) = 0;
  bool woken_ GUARDED_BY(mutex_) = false;
  bool accepting_ GUARDED_BY(mutex_) = true;
  bool stop_ GUARDED_BY(mutex_) = false;
  bool running_ GUARDED_BY(mutex_) = false;
  std::thread::id loop_thread_ GUARDED_BY(mutex_);
  std::thread own_thread_;
};

// Owns one timer of a main loop: removing it when the handle is reset,
// assigned or destroyed. Move-only; the loop must outlive the handle. A
// timer's function may reset its own handle (the run in progress finishes).
// Not thread-safe itself: one owner (usually the loop thread) uses it.
class TTimerHandle {
 public:
  TTimerHandle() = default;
  TTimerHandle(TMainLoop& loop, TMainLoop::TTimerId id) : loop_(&loop), id_(id) {}
  TTimerHandle(TTimerHandle&& other) noexcept;
  TTimerHandle& operator=(TTimerHandle&& other) noexcept;
  TTimerHandle(const TTimerHandle&) = delete;
  TTimerHandle& operator=(const TTimerHandle&) = delete;
  ~TTimerHandle() { Reset(); }

  // Removes the timer (if any); the handle is empty afterwards.
  void Reset();
  bool Active() const { return id_ != 0; }
  explicit operator bool() const { return Active(); }
  TMainLoop::TTimerId Id() const { return id_; }

 private:
  TMainLoop* loop_ = nullptr;
  TMainLoop::TTimerId id_ = 0;
};

// The process-wide main loop used by the bus for synchronised delivery and
// its purge timer. The caller keeps the loop alive while it is installed.
TMainLoop* MainLoop();
void SetMainLoop(TMainLoop* loop);
// Wake() of the installed loop, if any; safe while that loop is being
// destroyed. Any thread.
void WakeMainLoop();

}  // namespace kv
