// TSnapshot: an immutable value published for readers on other threads.
// The writer builds a new value and publishes it whole; a reader takes the
// current one once per unit of work and keeps it while it works, so no
// field is ever written while someone reads it.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace kv {

template <class T>
class TSnapshot {
 public:
  TSnapshot() : value_(std::make_shared<const T>()) {}
  explicit TSnapshot(T value) : value_(std::make_shared<const T>(std::move(value))) {}
  TSnapshot(const TSnapshot&) = delete;
  TSnapshot& operator=(const TSnapshot&) = delete;

  // The current value; never null. Any thread.
  std::shared_ptr<const T> Get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  // Replaces the value for every later Get. Any thread.
  void Publish(T value) {
    auto next = std::make_shared<const T>(std::move(value));
    std::lock_guard lock(mutex_);
    value_.swap(next);
  }
  // Publishes a copy of the current value changed by fn. Concurrent updates
  // are serialised, so neither loses the other's change. Any thread.
  template <class F>
  void Update(F&& fn) {
    std::lock_guard update(update_mutex_);
    T next = *Get();
    fn(next);
    Publish(std::move(next));
  }

 private:
  std::mutex update_mutex_;   // serialises Update; taken before mutex_
  mutable std::mutex mutex_;  // guards value_ (the pointer only); a leaf
  std::shared_ptr<const T> value_;
};

}  // namespace kv
