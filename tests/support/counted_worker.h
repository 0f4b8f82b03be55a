// A worker thread that counts its iterations, so that a test can show that
// nothing happened over whole iterations instead of over a sleep.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>

#include "core/threads.h"

namespace kv::testing {

// T is a TWorkerThread; make it with MakeThread<TCountedWorker<T>>(args...).
template <class T>
class TCountedWorker : public T {
 public:
  using T::T;

  uint64_t Iterations() {
    std::lock_guard lock(mutex_);
    return iterations_;
  }
  // Lets the worker run `n` whole iterations that begin after this call
  // (waking it for each instead of waiting out its interval); false when
  // they did not happen within timeout_ms.
  bool RunIterations(uint64_t n = 1, int64_t timeout_ms = 5000) {
    std::unique_lock lock(mutex_);
    // One iteration may be under way now: it began before the call.
    const uint64_t target = iterations_ + n + 1;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (iterations_ < target) {
      if (std::chrono::steady_clock::now() >= end) return false;
      // Wakes that come while an iteration runs fold into one: wake again
      // until the count is reached.
      lock.unlock();
      this->Wake();
      lock.lock();
      cv_.wait_for(lock, std::chrono::milliseconds(10), [&] { return iterations_ >= target; });
    }
    return true;
  }

 protected:
  void Iteration() override {
    // Counted also when it throws: the worker reports that and goes on.
    struct TCount {
      TCountedWorker* self;
      ~TCount() {
        std::lock_guard lock(self->mutex_);
        ++self->iterations_;
        self->cv_.notify_all();
      }
    } count{this};
    T::Iteration();
  }

 private:
  std::mutex mutex_;  // guards iterations_
  std::condition_variable cv_;
  uint64_t iterations_ = 0;
};

}  // namespace kv::testing
