// Worker threads. TGeneralThread is an ordinary thread plus the started
// handshake, a terminate request and a wake-up signal; TWorkerThread adds the
// convention every long-lived worker follows (" Started", one guarded
// iteration per loop, " failed with: ", " Stopped"). TThreadSet owns
// short-lived threads that end by themselves.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/thread_annotations.h"

namespace kv {

// A thread object. The body runs Execute() of the most derived class, so the
// thread is started by Start() once construction is complete (MakeThread does
// both). The owner ends it with Terminate()+Join(); the destructor does the
// same as a last resort, but a derived class whose Execute() touches its own
// members must be joined before those members go away — owning it through
// TThreadPtr (MakeThread) guarantees that.
class TGeneralThread {
 public:
  TGeneralThread() = default;
  TGeneralThread(const TGeneralThread&) = delete;
  TGeneralThread& operator=(const TGeneralThread&) = delete;
  virtual ~TGeneralThread();

  // Starts the thread; a second call does nothing. Any thread.
  void Start();

  bool IsStarted() const;
  void SetStarted(bool value);
  // Blocks until the body has called SetStarted(true) (or the body has
  // already ended). Returns false when timeout_ms (>= 0) ran out first.
  // Must not be called while holding a lock that the body takes.
  bool WaitStarted(int64_t timeout_ms = -1) const;

  // Asks the body to end at its next check; wakes a waiting body. Any thread.
  // Threads that wait on something else (a queue) add their own wake-up.
  virtual void Terminate();
  bool Terminated() const { return terminate_.load(std::memory_order_acquire); }
  // Interrupts the current or the next WaitFor of the body. Any thread.
  void Wake();

  // True once Execute() has returned (or was never started). The end also
  // wakes the process-wide main loop, so TMainLoop::RunUntil can wait for it.
  bool Finished() const;
  // Waits for the body to return; false when timeout_ms (>= 0) ran out.
  // Must not be called from the thread itself.
  bool WaitFinished(int64_t timeout_ms = -1) const;
  // Terminate, wait for the end and reap the thread. Not from the thread itself.
  void TerminateAndJoin();

  // The kernel thread id of the body (0 before it runs); used in notices.
  int64_t ThreadId() const { return tid_.load(std::memory_order_acquire); }
  bool IsCurrentThread() const { return std::this_thread::get_id() == thread_.get_id(); }

 protected:
  virtual void Execute() = 0;
  // Waits up to ms milliseconds of real time; a negative ms (kUntilWoken)
  // waits without a bound. Returns early (true) when Wake() or Terminate()
  // was called since the last WaitFor; a wake that arrives while the body is
  // busy is kept, so the body never sleeps on pending work.
  bool WaitFor(int64_t ms);
  static constexpr int64_t kUntilWoken = -1;

 private:
  void Body();

  std::thread thread_;
  std::once_flag start_once_;
  std::atomic<bool> terminate_{false};
  std::atomic<int64_t> tid_{0};

  mutable TMutex mutex_;  // guards started_, finished_, woken_
  mutable std::condition_variable cv_;
  bool started_ GUARDED_BY(mutex_) = false;
  bool finished_ GUARDED_BY(mutex_) = false;
  bool ran_ GUARDED_BY(mutex_) = false;  // Start() was called
  bool woken_ GUARDED_BY(mutex_) = false;
};

// Deleter that ends the thread before the object is destroyed.
struct TThreadDeleter {
  void operator()(TGeneralThread* t) const;
};
template <class T>
using TThreadPtr = std::unique_ptr<T, TThreadDeleter>;

// Creates a thread object, starts it and waits for the started handshake —
// the way creators get a worker that really runs before they hand it work.
template <class T, class... Args>
TThreadPtr<T> MakeThread(Args&&... args) {
  TThreadPtr<T> t(std::make_unique<T>(std::forward<Args>(args)...).release());
  t->Start();
  t->WaitStarted();
  return t;
}

// The convention of the long-lived workers: the class name + " Started" at
// level 1 on "GLOBAL"; Iteration() inside an exception guard, a failure
// posted as class name + " failed with: " + text at the failure level (4,
// 3 for the statistics workers) and the loop goes on; between iterations a
// wait of up to the interval that Wake() (a queue push) cuts short — a worker
// with nothing timed to do passes kUntilWoken and sleeps until woken; on leaving
// the loop, also after a failure in Prepare(), " Stopped" at level 1.
class TWorkerThread : public TGeneralThread {
 public:
  TWorkerThread(std::string class_name, int64_t interval_ms, uint8_t failure_level = 4);
  const std::string& ClassName() const { return class_name_; }
  int64_t Interval() const { return interval_ms_.load(); }
  void SetInterval(int64_t ms) { interval_ms_.store(ms); }

 protected:
  // Runs once in the thread before the loop; an exception ends the worker.
  virtual void Prepare() {}
  // One unit of work; exceptions are reported and the loop goes on.
  virtual void Iteration() = 0;
  // Runs once in the thread after the loop.
  virtual void Finish() {}

 private:
  void Execute() final;
  void ReportFailure(const std::string& text);

  std::string class_name_;
  std::atomic<int64_t> interval_ms_;
  uint8_t failure_level_;
};

// Owner of short-lived threads that end by themselves (delayed kicks, rcon
// requests, background console messages): it reaps the finished ones on every
// Add and ends the rest when it is destroyed, so no thread object is ever
// destroyed while its body runs. Thread-safe.
class TThreadSet {
 public:
  TThreadSet() = default;
  TThreadSet(const TThreadSet&) = delete;
  TThreadSet& operator=(const TThreadSet&) = delete;
  ~TThreadSet() { Clear(); }

  void Add(TThreadPtr<TGeneralThread> thread);
  // Reaps finished threads; returns how many are still running.
  size_t Reap();
  // Terminates every thread and waits for all of them.
  void Clear();

 private:
  TMutex mutex_;  // guards threads_
  std::vector<TThreadPtr<TGeneralThread>> threads_ GUARDED_BY(mutex_);
};

// Lowers the calling thread's scheduling priority (a higher nice value), for
// background work that must not take the processor from the event path when
// both want it. Best effort: a failure changes nothing.
void RunThisThreadInBackground();
// Names the calling thread as `top -H` and the debugger show it (the first
// 15 bytes). Best effort.
void NameThisThread(std::string_view name);

}  // namespace kv
