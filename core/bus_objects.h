// TObjectManager: the bus's table of shared objects. An object posted on a
// kind -1 category travels to its subscribers as a handle; the entry counts
// the subscribers that still have to handle it, and its lock lets them handle
// the object one after the other. The entry holds a shared reference, so an
// object a subscriber is handling — or has taken over — is never freed under
// it; the object goes when the last reference does.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>

#include "core/bus.h"
#include "core/thread_annotations.h"

namespace kv {

class EBusError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TObjectManager {
 public:
  static constexpr int64_t kMaxAgeMs = 600'000;        // entries older than this are purged
  static constexpr int64_t kPurgeIntervalMs = 60'000;  // how often the main loop purges

  // The object's address with its halves swapped, XOR 0x12345678. The full
  // address width is kept: a 32-bit handle would let two live objects share
  // one entry on a 64-bit system.
  static uint64_t HandleOf(const TBusObject* object);

  // Counts `count` more recipients of the object; creates its entry when it
  // has none. A repeated registration renews the entry's age, so an object
  // posted again is not purged under its new recipients. Any thread.
  uint64_t RegisterObject(std::shared_ptr<TBusObject> object, int count);
  // Takes the entry's lock (waiting while another subscriber handles the
  // object) and returns the object. Throws EBusError "Object for Handle N not
  // found" when the entry is gone (purged). Pair with ReleaseObject.
  std::shared_ptr<TBusObject> LockObject(uint64_t handle);
  // One recipient is done: count - 1, the entry's lock is released, and the
  // entry goes when the count reaches 0. Same thread as LockObject.
  void ReleaseObject(uint64_t handle);
  // A recipient that will never handle the object (its record was dropped):
  // count - 1 without touching the lock. Absent handles are ignored.
  void DropReference(uint64_t handle);
  // Removes every entry created kMaxAgeMs or more ago, whatever its count,
  // except those being handled at this moment (left for a later purge).
  // Returns the number removed. Runs on the main loop's timer.
  size_t Purge();
  // Drops every entry (hub shutdown).
  void Clear();

  size_t Count() const;
  // The entry's outstanding count, -1 when there is no entry (tests, diagnostics).
  int References(uint64_t handle) const;

 private:
  struct TEntry {
    std::shared_ptr<TBusObject> object;
    // Recursive: a synchronised handler that keeps the main loop running
    // while it waits may meet the same object again on the same thread.
    // Not annotated: it is held from LockObject to ReleaseObject.
    std::recursive_mutex lock;
    std::atomic<int> refs{0};
    std::atomic<int> holders{0};  // threads inside LockObject..ReleaseObject
    int64_t created = 0;          // SteadyMs of the (latest) registration
  };
  std::shared_ptr<TEntry> Find(uint64_t handle) const;
  void Decrement(uint64_t handle, const std::shared_ptr<TEntry>& entry);

  mutable TSharedMutex mutex_;  // guards entries_ (not the entries' contents)
  std::map<uint64_t, std::shared_ptr<TEntry>> entries_ GUARDED_BY(mutex_);
};

}  // namespace kv
