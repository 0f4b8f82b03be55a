#include "core/mainloop.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/bus.h"
#include "core/clock.h"

namespace kv {
namespace {

std::atomic<TMainLoop*> g_main_loop{nullptr};
// Held while WakeMainLoop uses the installed loop and while a loop leaves
// the slot in its destructor, so a wake never reaches a destroyed loop.
TMutex g_wake_mutex;  // taken before any loop's mutex_

}  // namespace

TMainLoop* MainLoop() { return g_main_loop.load(std::memory_order_acquire); }
void SetMainLoop(TMainLoop* loop) { g_main_loop.store(loop, std::memory_order_release); }

void WakeMainLoop() {
  TLockGuard lock(g_wake_mutex);
  if (TMainLoop* loop = MainLoop()) loop->Wake();
}

TMainLoop::TMainLoop() = default;

TMainLoop::~TMainLoop() {
  Stop();
  if (own_thread_.joinable()) own_thread_.join();
  TLockGuard lock(g_wake_mutex);
  TMainLoop* self = this;
  g_main_loop.compare_exchange_strong(self, nullptr);
}

void TMainLoop::StartThread() {
  TUniqueLock lock(mutex_);
  if (own_thread_.joinable() || running_) throw std::logic_error("main loop already running");
  own_thread_ = std::thread([this] { Run(); });
  cv_.Wait(lock, [this]() REQUIRES(mutex_) { return running_ || stop_; });
}

void TMainLoop::Run() {
  {
    TLockGuard lock(mutex_);
    if (running_) throw std::logic_error("main loop already running");
    running_ = true;
    loop_thread_ = std::this_thread::get_id();
    cv_.NotifyAll();
  }
  for (;;) {
    {
      TLockGuard lock(mutex_);
      if (stop_) break;
    }
    if (RunOne()) continue;
    TUniqueLock lock(mutex_);
    WaitForWork(lock, TClockCondition::kNoRealLimit, true);
  }
  std::deque<TTask> dropped;
  {
    TLockGuard lock(mutex_);
    dropped.swap(tasks_);
    running_ = false;
    loop_thread_ = {};
  }
  // `dropped` releases the Invoke callers of tasks that never ran.
}

void TMainLoop::Stop() {
  std::deque<TTask> dropped;
  {
    TLockGuard lock(mutex_);
    stop_ = true;
    accepting_ = false;
    dropped.swap(tasks_);
    cv_.NotifyAll();
  }
}

bool TMainLoop::IsLoopThread() const {
  TLockGuard lock(mutex_);
  return running_ && loop_thread_ == std::this_thread::get_id();
}

bool TMainLoop::Accepting() const {
  TLockGuard lock(mutex_);
  return accepting_;
}

bool TMainLoop::Post(TTask fn) {
  TLockGuard lock(mutex_);
  if (!accepting_) return false;
  tasks_.push_back(std::move(fn));
  cv_.NotifyAll();
  return true;
}

void TMainLoop::Wake() {
  TLockGuard lock(mutex_);
  woken_ = true;
  cv_.NotifyAll();
}

uint64_t TMainLoop::Wakeups() const {
  TLockGuard lock(mutex_);
  return wakeups_;
}

namespace {

// Shared between an Invoke caller and its task. The task owns a TInvokeDone;
// whenever the task is destroyed — after running or dropped unrun by Stop —
// the caller is released.
struct TInvokeState {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  bool ran = false;
  std::exception_ptr error;
};

struct TInvokeDone {
  explicit TInvokeDone(std::shared_ptr<TInvokeState> s) : state(std::move(s)) {}
  TInvokeDone(const TInvokeDone&) = delete;
  TInvokeDone& operator=(const TInvokeDone&) = delete;
  std::shared_ptr<TInvokeState> state;
  ~TInvokeDone() {
    std::lock_guard lock(state->mutex);
    state->done = true;
    state->cv.notify_all();
  }
};

}  // namespace

bool TMainLoop::Invoke(TTask fn) {
  if (IsLoopThread()) {
    fn();
    return true;
  }
  auto state = std::make_shared<TInvokeState>();
  auto done = std::make_shared<TInvokeDone>(state);
  bool posted = Post([done, fn = std::move(fn)] {
    try {
      fn();
    } catch (...) {
      done->state->error = std::current_exception();
    }
    done->state->ran = true;
  });
  done.reset();
  if (!posted) return false;
  std::unique_lock lock(state->mutex);
  state->cv.wait(lock, [&] { return state->done; });
  if (state->error) std::rethrow_exception(state->error);
  return state->ran;
}

TMainLoop::TTimerId TMainLoop::AddTimer(int64_t interval_ms, TTask fn) {
  if (interval_ms < 1) interval_ms = 1;  // a zero interval would starve the tasks
  TLockGuard lock(mutex_);
  const TTimerId id = next_timer_++;
  timers_[id] = TTimer{interval_ms, SteadyMs() + interval_ms, std::make_shared<TTask>(std::move(fn))};
  ++timers_version_;  // a waiting loop computes its deadline again
  cv_.NotifyAll();
  return id;
}

void TMainLoop::RemoveTimer(TTimerId id) {
  TLockGuard lock(mutex_);
  timers_.erase(id);
}

TTimerHandle TMainLoop::StartTimer(int64_t interval_ms, TTask fn) {
  return TTimerHandle(*this, AddTimer(interval_ms, std::move(fn)));
}

TTimerHandle::TTimerHandle(TTimerHandle&& other) noexcept
    : loop_(other.loop_), id_(std::exchange(other.id_, 0)) {}

TTimerHandle& TTimerHandle::operator=(TTimerHandle&& other) noexcept {
  if (this != &other) {
    Reset();
    loop_ = other.loop_;
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

void TTimerHandle::Reset() {
  const TMainLoop::TTimerId id = std::exchange(id_, 0);
  if (id != 0 && loop_) loop_->RemoveTimer(id);
}

bool TMainLoop::RunOne() {
  std::shared_ptr<TTask> timer_fn;
  TTask task;
  {
    TLockGuard lock(mutex_);
    const int64_t now = SteadyMs();
    TTimer* due = nullptr;
    for (auto& [id, t] : timers_) {
      if (t.due <= now && (!due || t.due < due->due)) due = &t;
    }
    if (due) {
      due->due = now + due->interval;
      timer_fn = due->fn;
    } else if (!tasks_.empty()) {
      task = std::move(tasks_.front());
      tasks_.pop_front();
    } else {
      return false;
    }
  }
  RunGuarded(timer_fn ? *timer_fn : task);
  return true;
}

int64_t TMainLoop::NextDue() const {
  int64_t due = TClockCondition::kNoDeadline;
  for (const auto& [id, t] : timers_) due = std::min(due, t.due);
  return due;
}

void TMainLoop::WaitForWork(TUniqueLock& lock, TClockCondition::TRealTime real_limit, bool until_stop) {
  // A removed timer may leave the deadline early: the loop then finds
  // nothing due and computes it again, which is cheaper than a wake-up for
  // every removal.
  const uint64_t timers_seen = timers_version_;
  cv_.WaitUntil(lock, NextDue(), real_limit, [&]() REQUIRES(mutex_) {
    return (until_stop && stop_) || !tasks_.empty() || woken_ || timers_version_ != timers_seen;
  });
  woken_ = false;
  ++wakeups_;
}

void TMainLoop::RunGuarded(const TTask& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    PostGlobal(std::string("TMainLoop failed with: ") + e.what(), mlError);
  } catch (...) {
    PostGlobal("TMainLoop failed with: unknown exception", mlError);
  }
}

bool TMainLoop::RunUntil(const std::function<bool()>& done, int64_t timeout_ms, int64_t recheck_ms) {
  using std::chrono::milliseconds;
  using std::chrono::steady_clock;
  constexpr int64_t kFarMs = int64_t{1} << 40;  // about 35 years: no overflow below
  const auto deadline = steady_clock::now() + milliseconds(std::clamp<int64_t>(timeout_ms, 0, kFarMs));
  while (!done()) {
    const auto now = steady_clock::now();
    if (now >= deadline) return done();
    if (RunOne()) continue;
    auto limit = deadline;
    if (recheck_ms >= 0) limit = std::min(limit, now + milliseconds(recheck_ms));
    TUniqueLock lock(mutex_);
    // Not woken by Stop: a stopped loop still owes this caller its wait.
    WaitForWork(lock, limit, false);
  }
  return true;
}

}  // namespace kv
