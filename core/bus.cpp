// Level names, the message queue and the object claims of the bus.
#include "core/bus.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/bus_message.h"

namespace kv {

namespace {

// The bus load and the posters waiting for it to fall (flow control, bus.h).
constexpr int64_t kBusRoomMark = kBusLoadLimit / 2;
constexpr int64_t kRoomPollMs = 10;  // how often a waiter asks its stop condition
std::atomic<int64_t> g_load{0};
std::atomic<int> g_waiters{0};
std::mutex g_room_mutex;  // pairs with g_room_cv; a leaf
std::condition_variable g_room_cv;
thread_local bool t_exempt = false;

}  // namespace

TLoadTicket::TLoadTicket(int64_t bytes) : bytes_(bytes) { g_load.fetch_add(bytes); }

void TLoadTicket::Return() noexcept {
  if (bytes_ == 0) return;
  const int64_t before = g_load.fetch_sub(bytes_);
  // Waiters are woken once, when the load falls below the mark; they then
  // fill the queues up to the limit in one go.
  if (before >= kBusRoomMark && before - bytes_ < kBusRoomMark && g_waiters.load() > 0) {
    std::lock_guard lock(g_room_mutex);
    g_room_cv.notify_all();
  }
  bytes_ = 0;
}

int64_t BusLoad() { return g_load.load(std::memory_order_relaxed); }

bool WaitForBusRoom(int64_t timeout_ms, const std::function<bool()>& stop) {
  if (!BusFull()) return true;
  WakeForBatchedPosts();  // the hub must see them to make room
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  g_waiters.fetch_add(1);
  bool room = true;
  {
    std::unique_lock lock(g_room_mutex);
    while (g_load.load() >= kBusRoomMark) {
      auto slice = std::chrono::milliseconds(kRoomPollMs);
      if (timeout_ms >= 0) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) {
          room = false;
          break;
        }
        slice = std::min(slice, std::chrono::duration_cast<std::chrono::milliseconds>(end - now) +
                                    std::chrono::milliseconds(1));
      }
      if (stop && stop()) {
        room = false;
        break;
      }
      g_room_cv.wait_for(lock, slice);
    }
  }
  g_waiters.fetch_sub(1);
  return room;
}

void ExemptThisThreadFromBusWaits() { t_exempt = true; }

bool BusWaitsExempt() { return t_exempt; }

int64_t DataFootprint(const TMsgData& data) {
  if (const auto* object = std::get_if<std::shared_ptr<TBusObject>>(&data))
    return *object ? static_cast<int64_t>((*object)->Footprint()) : 0;
  if (const auto* block = std::get_if<std::vector<uint8_t>>(&data))
    return static_cast<int64_t>(block->size());
  return 0;
}

int64_t RecordFootprint(std::string_view category, std::string_view text, int64_t data_bytes) {
  // The record itself, its slot in the queue and its strings' heap blocks.
  constexpr int64_t kRecordBytes = sizeof(TMonitorMessage) + 64;
  return kRecordBytes + static_cast<int64_t>(category.size() + text.size()) + data_bytes;
}

const char* LevelName(uint8_t level) {
  static const char* const kNames[] = {"Fortschritt", "Information", "Warnung",     "Fehler",
                                       "Kritisch",    "Debug",       "\xC4nderung", "Befehl"};
  return level < 8 ? kNames[level] : "";
}

TObjectClaim& TObjectClaim::operator=(TObjectClaim&& o) noexcept {
  if (this != &o) {
    Drop();
    manager_ = std::move(o.manager_);
    handle_ = o.handle_;
    locked_ = o.locked_;
    o.manager_.reset();
    o.locked_ = false;
  }
  return *this;
}

std::shared_ptr<TBusObject> TObjectClaim::Lock() {
  auto object = manager_->LockObject(handle_);
  locked_ = true;
  return object;
}

void TObjectClaim::Release() { Drop(); }

void TObjectClaim::Drop() noexcept {
  if (!manager_) return;
  try {
    if (locked_) {
      manager_->ReleaseObject(handle_);
    } else {
      manager_->DropReference(handle_);
    }
  } catch (...) {
    // The entry is gone already (purged); nothing is left to give back.
  }
  manager_.reset();
  locked_ = false;
}

bool TMessageQueue::Push(TMonitorMessage&& message, bool wake) {
  TLockGuard lock(mutex_);
  if (quit_ || abort_) return false;
  records_.push_back(std::move(message));
  // Only a consumer that sleeps needs the (system call) wake-up.
  if (wake && waiting_ && !hold_) cv_.notify_one();
  return true;
}

void TMessageQueue::WakeConsumer() {
  TLockGuard lock(mutex_);
  if (waiting_ && !hold_ && !records_.empty()) cv_.notify_one();
}

void TMessageQueue::Quit() {
  TLockGuard lock(mutex_);
  quit_ = true;
  cv_.notify_one();
}

void TMessageQueue::Abort() {
  std::vector<TMonitorMessage> dropped;  // released outside the lock
  TLockGuard lock(mutex_);
  abort_ = true;
  dropped.swap(records_);
  cv_.notify_one();
}

bool TMessageQueue::Aborted() const {
  TLockGuard lock(mutex_);
  return abort_;
}

void TMessageQueue::Hold(bool hold) {
  TLockGuard lock(mutex_);
  hold_ = hold;
  cv_.notify_one();
}

bool TMessageQueue::Take(std::vector<TMonitorMessage>& out) {
  TUniqueLock lock(mutex_);
  waiting_ = true;
  if (records_.empty()) idle_cv_.notify_all();
  cv_.wait(lock.native(),
           [this]() REQUIRES(mutex_) { return abort_ || quit_ || (!hold_ && !records_.empty()); });
  waiting_ = false;
  if (abort_ || records_.empty()) return false;
  out.swap(records_);
  return true;
}

bool TMessageQueue::WaitIdle(int64_t timeout_ms) {
  TUniqueLock lock(mutex_);
  return idle_cv_.wait_for(lock.native(), std::chrono::milliseconds(timeout_ms), [this]() REQUIRES(mutex_) {
    return abort_ || quit_ || (waiting_ && records_.empty());
  });
}

size_t TMessageQueue::Size() const {
  TLockGuard lock(mutex_);
  return records_.size();
}

}  // namespace kv
