#include "core/bus_objects.h"

#include <string>
#include <vector>

#include "core/clock.h"

namespace kv {

uint64_t TObjectManager::HandleOf(const TBusObject* object) {
  const auto address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(object));
  constexpr int kHalf = sizeof(uintptr_t) * 4;  // bits in half an address
  const uint64_t low_mask = (uint64_t{1} << kHalf) - 1;
  const uint64_t swapped = ((address & low_mask) << kHalf) | ((address >> kHalf) & low_mask);
  return swapped ^ 0x12345678u;
}

uint64_t TObjectManager::RegisterObject(std::shared_ptr<TBusObject> object, int count) {
  const uint64_t handle = HandleOf(object.get());
  // The write side for the whole registration: an entry whose count has just
  // dropped to 0 is then either still here (and revived) or already gone.
  TWriteLock lock(mutex_);
  auto& slot = entries_[handle];
  if (!slot) {
    slot = std::make_shared<TEntry>();
    slot->object = std::move(object);
  }
  slot->refs.fetch_add(count, std::memory_order_acq_rel);
  slot->created = SteadyMs();
  return handle;
}

std::shared_ptr<TObjectManager::TEntry> TObjectManager::Find(uint64_t handle) const {
  TReadLock lock(mutex_);
  auto it = entries_.find(handle);
  return it == entries_.end() ? nullptr : it->second;
}

std::shared_ptr<TBusObject> TObjectManager::LockObject(uint64_t handle) {
  auto not_found = [handle] {
    return EBusError("Object for Handle " + std::to_string(handle) + " not found");
  };
  auto entry = Find(handle);
  if (!entry) throw not_found();
  // Wait for the entry outside the table lock, so a subscriber busy with the
  // object never holds up the hub's registrations.
  entry->lock.lock();
  entry->holders.fetch_add(1, std::memory_order_acq_rel);
  if (Find(handle) != entry) {  // purged while we waited
    entry->holders.fetch_sub(1, std::memory_order_acq_rel);
    entry->lock.unlock();
    throw not_found();
  }
  return entry->object;
}

void TObjectManager::ReleaseObject(uint64_t handle) {
  auto entry = Find(handle);
  if (!entry) {
    throw EBusError("Object for Handle " + std::to_string(handle) + " not found");
  }
  entry->holders.fetch_sub(1, std::memory_order_acq_rel);
  entry->lock.unlock();
  Decrement(handle, entry);
}

void TObjectManager::DropReference(uint64_t handle) {
  if (auto entry = Find(handle)) Decrement(handle, entry);
}

void TObjectManager::Decrement(uint64_t handle, const std::shared_ptr<TEntry>& entry) {
  if (entry->refs.fetch_sub(1, std::memory_order_acq_rel) > 1) return;
  std::shared_ptr<TEntry> removed;  // the object may be freed here, outside the lock
  TWriteLock lock(mutex_);
  auto it = entries_.find(handle);
  if (it != entries_.end() && it->second == entry && entry->refs.load(std::memory_order_acquire) <= 0) {
    removed = std::move(it->second);
    entries_.erase(it);
  }
  lock.unlock();
}

size_t TObjectManager::Purge() {
  std::vector<std::shared_ptr<TEntry>> removed;  // freed after the lock is dropped
  const int64_t now = SteadyMs();
  TWriteLock lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end();) {
    TEntry& e = *it->second;
    // Never wait for a subscriber while holding the table: an entry in use is
    // left for the next purge.
    const bool old = now - e.created >= kMaxAgeMs;
    if (old && e.holders.load(std::memory_order_acquire) == 0 && e.lock.try_lock()) {
      const bool idle = e.holders.load(std::memory_order_acquire) == 0;
      e.lock.unlock();
      if (idle) {
        removed.push_back(std::move(it->second));
        it = entries_.erase(it);
        continue;
      }
    }
    ++it;
  }
  lock.unlock();
  return removed.size();
}

void TObjectManager::Clear() {
  std::map<uint64_t, std::shared_ptr<TEntry>> all;
  TWriteLock lock(mutex_);
  all.swap(entries_);
  lock.unlock();
}

size_t TObjectManager::Count() const {
  TReadLock lock(mutex_);
  return entries_.size();
}

int TObjectManager::References(uint64_t handle) const {
  auto entry = Find(handle);
  return entry ? entry->refs.load(std::memory_order_acquire) : -1;
}

}  // namespace kv
