// The message record that travels through the hub's queue and the
// subscribers' queues, and the queue itself.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "core/bus.h"
#include "core/bus_objects.h"

namespace kv {

inline constexpr size_t kMaxCategoryLength = 100;

// A subscriber's claim on a shared object: one count in the object manager.
// Dropping the claim without handling (a record discarded at shutdown, an
// exception) gives the count back, so no entry is left waiting for the purge.
class TObjectClaim {
 public:
  TObjectClaim() = default;
  TObjectClaim(std::shared_ptr<TObjectManager> manager, uint64_t handle)
      : manager_(std::move(manager)), handle_(handle) {}
  TObjectClaim(TObjectClaim&& o) noexcept { *this = std::move(o); }
  TObjectClaim& operator=(TObjectClaim&& o) noexcept;
  ~TObjectClaim() { Drop(); }

  explicit operator bool() const { return manager_ != nullptr; }
  uint64_t Handle() const { return handle_; }
  // LockObject; the claim is then given back by Release (or the destructor).
  std::shared_ptr<TBusObject> Lock();
  void Release();

 private:
  void Drop() noexcept;
  std::shared_ptr<TObjectManager> manager_;
  uint64_t handle_ = 0;
  bool locked_ = false;
};

// TMonitorMessage: one queue entry; the queue that holds it owns it.
struct TMonitorMessage {
  std::string category;  // at most kMaxCategoryLength characters
  std::string text;
  int32_t value = 0;
  uint8_t level = 0;
  int32_t kind = kDataNone;
  TMsgData data;        // pointer or block; in the hub's queue also the object
  TObjectClaim object;  // kind -1 in a subscriber's queue: the object's handle
};

// A FIFO of records with a quit request, for exactly one consumer thread.
class TMessageQueue {
 public:
  // False once Quit or Abort was called; the record is then discarded.
  bool Push(TMonitorMessage&& message);
  // No more records; the consumer ends after those already queued.
  void Quit();
  // The consumer ends now; what is queued is discarded.
  void Abort();
  bool Aborted() const;
  // While held, Take keeps waiting (records still queue up); quit and abort
  // are not held up.
  void Hold(bool hold);
  // Waits for records and moves all of them into `out`. False when the queue
  // has ended (quit and empty, or aborted).
  bool Take(std::deque<TMonitorMessage>& out);
  size_t Size() const;
  // Waits until the consumer has handled everything queued and waits for
  // more (or the queue has ended); false when timeout_ms ran out first.
  bool WaitIdle(int64_t timeout_ms);

 private:
  mutable std::mutex mutex_;  // guards everything below; a leaf lock
  std::condition_variable cv_;
  std::condition_variable idle_cv_;
  std::deque<TMonitorMessage> records_;
  bool quit_ = false;
  bool abort_ = false;
  bool hold_ = false;
  bool waiting_ = false;
};

}  // namespace kv
