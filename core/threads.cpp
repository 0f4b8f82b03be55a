#include "core/threads.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>

#include "core/bus.h"
#include "core/mainloop.h"

namespace kv {

TGeneralThread::~TGeneralThread() {
  // Last resort for owners that did not join: the derived part is already
  // gone here, which is why TThreadPtr joins before destruction.
  if (thread_.joinable()) TerminateAndJoin();
}

void TGeneralThread::Start() {
  std::call_once(start_once_, [this] {
    {
      TLockGuard lock(mutex_);
      ran_ = true;
    }
    thread_ = std::thread([this] { Body(); });
  });
}

void TGeneralThread::Body() {
  tid_.store(static_cast<int64_t>(::syscall(SYS_gettid)), std::memory_order_release);
  try {
    Execute();
  } catch (...) {
    // A body must not take the process down; workers report their own
    // failures before they get here.
  }
  {
    TLockGuard lock(mutex_);
    finished_ = true;
    cv_.notify_all();
  }
  // The main loop may be waiting for this end in RunUntil (a subscriber
  // stopped from the loop).
  WakeMainLoop();
}

bool TGeneralThread::IsStarted() const {
  TLockGuard lock(mutex_);
  return started_;
}

void TGeneralThread::SetStarted(bool value) {
  TLockGuard lock(mutex_);
  started_ = value;
  cv_.notify_all();
}

bool TGeneralThread::WaitStarted(int64_t timeout_ms) const {
  TUniqueLock lock(mutex_);
  auto ready = [this]() REQUIRES(mutex_) { return started_ || finished_; };
  if (timeout_ms < 0) {
    cv_.wait(lock.native(), ready);
    return true;
  }
  return cv_.wait_for(lock.native(), std::chrono::milliseconds(timeout_ms), ready);
}

void TGeneralThread::Terminate() {
  terminate_.store(true, std::memory_order_release);
  Wake();
}

void TGeneralThread::Wake() {
  TLockGuard lock(mutex_);
  woken_ = true;
  cv_.notify_all();
}

bool TGeneralThread::WaitFor(int64_t ms) {
  TUniqueLock lock(mutex_);
  auto woken = [this]() REQUIRES(mutex_) { return woken_ || terminate_.load(std::memory_order_acquire); };
  bool result;
  if (ms < 0) {
    cv_.wait(lock.native(), woken);
    result = true;
  } else {
    result = ms > 0 ? cv_.wait_for(lock.native(), std::chrono::milliseconds(ms), woken) : woken();
  }
  woken_ = false;
  return result;
}

bool TGeneralThread::Finished() const {
  TLockGuard lock(mutex_);
  return finished_ || !ran_;
}

bool TGeneralThread::WaitFinished(int64_t timeout_ms) const {
  TUniqueLock lock(mutex_);
  auto done = [this]() REQUIRES(mutex_) { return finished_ || !ran_; };
  if (timeout_ms < 0) {
    cv_.wait(lock.native(), done);
    return true;
  }
  return cv_.wait_for(lock.native(), std::chrono::milliseconds(timeout_ms), done);
}

void TGeneralThread::TerminateAndJoin() {
  Terminate();
  if (thread_.joinable()) thread_.join();
}

void TThreadDeleter::operator()(TGeneralThread* t) const {
  t->TerminateAndJoin();
  std::default_delete<TGeneralThread>()(t);
}

TWorkerThread::TWorkerThread(std::string class_name, int64_t interval_ms, uint8_t failure_level)
    : class_name_(std::move(class_name)), interval_ms_(interval_ms), failure_level_(failure_level) {}

namespace {
std::string ExceptionText() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}
}  // namespace

void TWorkerThread::ReportFailure(const std::string& text) {
  PostGlobal(class_name_ + " failed with: " + text, failure_level_);
}

void TWorkerThread::Execute() {
  // "THistoryUserList.TEventThread" shows as "HistoryUserList".
  NameThisThread(std::string_view(class_name_).substr(class_name_.rfind('T', 0) == 0 ? 1 : 0));
  SetStarted(true);
  PostGlobal(class_name_ + " Started", mlInformation);
  bool prepared = false;
  try {
    Prepare();
    prepared = true;
  } catch (...) {
    ReportFailure(ExceptionText());
  }
  while (prepared && !Terminated()) {
    try {
      Iteration();
    } catch (...) {
      ReportFailure(ExceptionText());
    }
    if (Terminated()) break;
    WaitFor(Interval());
  }
  try {
    Finish();
  } catch (...) {
    ReportFailure(ExceptionText());
  }
  PostGlobal(class_name_ + " Stopped", mlInformation);
}

void TThreadSet::Add(TThreadPtr<TGeneralThread> thread) {
  Reap();
  TLockGuard lock(mutex_);
  threads_.push_back(std::move(thread));
}

size_t TThreadSet::Reap() {
  std::vector<TThreadPtr<TGeneralThread>> done;
  size_t running;
  {
    TLockGuard lock(mutex_);
    auto split =
        std::stable_partition(threads_.begin(), threads_.end(), [](auto& t) { return !t->Finished(); });
    done.assign(std::make_move_iterator(split), std::make_move_iterator(threads_.end()));
    threads_.erase(split, threads_.end());
    running = threads_.size();
  }
  return running;  // `done` joins the finished threads outside the lock
}

void TThreadSet::Clear() {
  std::vector<TThreadPtr<TGeneralThread>> all;
  {
    TLockGuard lock(mutex_);
    all.swap(threads_);
  }
  for (auto& t : all) t->Terminate();
  all.clear();  // joins each
}

void RunThisThreadInBackground() {
  // On Linux the nice value belongs to the thread, not to the process.
  constexpr int kBackgroundNice = 10;
  const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, tid);
  if (errno == 0 && current < kBackgroundNice) setpriority(PRIO_PROCESS, tid, kBackgroundNice);
}

void NameThisThread(std::string_view name) {
  const std::string shown(name.substr(0, 15));
  pthread_setname_np(pthread_self(), shown.c_str());
}

}  // namespace kv
