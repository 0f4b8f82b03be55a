// The message record that travels through the hub's queue and the
// subscribers' queues, and the queue itself.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/bus.h"
#include "core/bus_objects.h"
#include "core/thread_annotations.h"

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

// A record's share of the bus load (BusLoad in bus.h): added when the
// ticket is issued, given back when the record is destroyed, however it
// ends (handled, discarded at a stop, refused by a quitting queue).
class TLoadTicket {
 public:
  TLoadTicket() = default;
  explicit TLoadTicket(int64_t bytes);
  TLoadTicket(TLoadTicket&& o) noexcept : bytes_(o.bytes_) { o.bytes_ = 0; }
  TLoadTicket& operator=(TLoadTicket&& o) noexcept {
    if (this != &o) {
      Return();
      bytes_ = o.bytes_;
      o.bytes_ = 0;
    }
    return *this;
  }
  ~TLoadTicket() { Return(); }
  int64_t Bytes() const { return bytes_; }

 private:
  void Return() noexcept;
  int64_t bytes_ = 0;
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
  TLoadTicket load;     // its share of the bus load while it is queued
};

// The bytes of the data a record carries: an object's footprint, a block's
// size; nothing for a plain pointer.
int64_t DataFootprint(const TMsgData& data);
// The bytes a record with these texts and data counts in the bus load.
int64_t RecordFootprint(std::string_view category, std::string_view text, int64_t data_bytes);
// True on a thread whose posts never wait (ExemptThisThreadFromBusWaits).
bool BusWaitsExempt();
// Wakes the hub for posts of this thread that a TBusPostBatch queued
// without waking it.
void WakeForBatchedPosts();

// A FIFO of records with a quit request, for exactly one consumer thread.
class TMessageQueue {
 public:
  // False once Quit or Abort was called; the record is then discarded.
  // Without `wake` a sleeping consumer is not woken: a producer queueing a
  // row of records wakes it once at the end (WakeConsumer).
  bool Push(TMonitorMessage&& message, bool wake = true);
  // Wakes the consumer when it sleeps while records wait.
  void WakeConsumer();
  // No more records; the consumer ends after those already queued.
  void Quit();
  // The consumer ends now; what is queued is discarded.
  void Abort();
  bool Aborted() const;
  // While held, Take keeps waiting (records still queue up); quit and abort
  // are not held up.
  void Hold(bool hold);
  // Waits for records and moves all of them into `out`, which must be empty
  // (its capacity is kept for the next records). False when the queue has
  // ended (quit and empty, or aborted).
  bool Take(std::vector<TMonitorMessage>& out);
  size_t Size() const;
  // Waits until the consumer has handled everything queued and waits for
  // more (or the queue has ended); false when timeout_ms ran out first.
  bool WaitIdle(int64_t timeout_ms);

 private:
  mutable TMutex mutex_;  // guards everything below; a leaf lock
  std::condition_variable cv_;
  std::condition_variable idle_cv_;
  std::vector<TMonitorMessage> records_ GUARDED_BY(mutex_);
  bool quit_ GUARDED_BY(mutex_) = false;
  bool abort_ GUARDED_BY(mutex_) = false;
  bool hold_ GUARDED_BY(mutex_) = false;
  bool waiting_ GUARDED_BY(mutex_) = false;
};

}  // namespace kv
