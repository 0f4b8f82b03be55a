#include "core/mainloop.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <string>

#include "core/bus.h"
#include "core/clock.h"

namespace kv {
namespace {

std::atomic<TMainLoop*> g_main_loop{nullptr};

// With a manual clock time moves only when a test says so; the loop then
// looks at the clock this often instead of sleeping until a deadline.
constexpr int64_t kManualClockRecheckMs = 5;
// Even with the system clock the loop never sleeps longer than this, so a
// clock installed later or a timer added from a loop task is noticed soon.
constexpr int64_t kLongestSleepMs = 250;

int64_t RealMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

TMainLoop* MainLoop() { return g_main_loop.load(std::memory_order_acquire); }
void SetMainLoop(TMainLoop* loop) { g_main_loop.store(loop, std::memory_order_release); }

TMainLoop::TMainLoop() = default;

TMainLoop::~TMainLoop() {
  Stop();
  if (own_thread_.joinable()) own_thread_.join();
  TMainLoop* self = this;
  g_main_loop.compare_exchange_strong(self, nullptr);
}

void TMainLoop::StartThread() {
  std::unique_lock lock(mutex_);
  if (own_thread_.joinable() || running_) throw std::logic_error("main loop already running");
  own_thread_ = std::thread([this] { Run(); });
  cv_.wait(lock, [this] { return running_ || stop_; });
}

void TMainLoop::Run() {
  {
    std::lock_guard lock(mutex_);
    if (running_) throw std::logic_error("main loop already running");
    running_ = true;
    loop_thread_ = std::this_thread::get_id();
    cv_.notify_all();
  }
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stop_) break;
    }
    if (RunOne()) continue;
    std::unique_lock lock(mutex_);
    const int64_t ms = SleepMs();
    if (ms != 0) {
      cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_ || !tasks_.empty(); });
    }
  }
  std::deque<TTask> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(tasks_);
    running_ = false;
    loop_thread_ = {};
  }
  // `dropped` releases the Invoke callers of tasks that never ran.
}

void TMainLoop::Stop() {
  std::deque<TTask> dropped;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
    accepting_ = false;
    dropped.swap(tasks_);
    cv_.notify_all();
  }
}

bool TMainLoop::IsLoopThread() const {
  std::lock_guard lock(mutex_);
  return running_ && loop_thread_ == std::this_thread::get_id();
}

bool TMainLoop::Accepting() const {
  std::lock_guard lock(mutex_);
  return accepting_;
}

bool TMainLoop::Post(TTask fn) {
  std::lock_guard lock(mutex_);
  if (!accepting_) return false;
  tasks_.push_back(std::move(fn));
  cv_.notify_all();
  return true;
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
  std::lock_guard lock(mutex_);
  const TTimerId id = next_timer_++;
  timers_[id] = TTimer{interval_ms, SteadyMs() + interval_ms, std::make_shared<TTask>(std::move(fn))};
  cv_.notify_all();
  return id;
}

void TMainLoop::RemoveTimer(TTimerId id) {
  std::lock_guard lock(mutex_);
  timers_.erase(id);
}

bool TMainLoop::RunOne() {
  std::shared_ptr<TTask> timer_fn;
  TTask task;
  {
    std::lock_guard lock(mutex_);
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

int64_t TMainLoop::SleepMs() const {
  if (!tasks_.empty()) return 0;
  int64_t ms = kLongestSleepMs;
  if (!timers_.empty()) {
    const int64_t now = SteadyMs();
    for (const auto& [id, t] : timers_) ms = std::min(ms, std::max<int64_t>(0, t.due - now));
  }
  if (Clock().IsManual()) ms = std::min(ms, kManualClockRecheckMs);
  return ms;
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

bool TMainLoop::RunUntil(const std::function<bool()>& done, int64_t timeout_ms) {
  const int64_t deadline = RealMs() + timeout_ms;
  while (!done()) {
    const int64_t left = deadline - RealMs();
    if (left <= 0) return done();
    if (RunOne()) continue;
    std::unique_lock lock(mutex_);
    // `done` is signalled by other threads on their own conditions, so look
    // again at short intervals.
    const int64_t ms = std::min({SleepMs(), left, kManualClockRecheckMs});
    if (ms > 0) cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !tasks_.empty(); });
  }
  return true;
}

}  // namespace kv
