// Level names, the message queue and the object claims of the bus.
#include "core/bus.h"

#include <chrono>

#include "core/bus_message.h"

namespace kv {

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

bool TMessageQueue::Push(TMonitorMessage&& message) {
  std::lock_guard lock(mutex_);
  if (quit_ || abort_) return false;
  records_.push_back(std::move(message));
  // Only a consumer that sleeps needs the (system call) wake-up.
  if (waiting_ && !hold_) cv_.notify_one();
  return true;
}

void TMessageQueue::Quit() {
  std::lock_guard lock(mutex_);
  quit_ = true;
  cv_.notify_one();
}

void TMessageQueue::Abort() {
  std::deque<TMonitorMessage> dropped;  // released outside the lock
  std::lock_guard lock(mutex_);
  abort_ = true;
  dropped.swap(records_);
  cv_.notify_one();
}

bool TMessageQueue::Aborted() const {
  std::lock_guard lock(mutex_);
  return abort_;
}

void TMessageQueue::Hold(bool hold) {
  std::lock_guard lock(mutex_);
  hold_ = hold;
  cv_.notify_one();
}

bool TMessageQueue::Take(std::deque<TMonitorMessage>& out) {
  std::unique_lock lock(mutex_);
  waiting_ = true;
  if (records_.empty()) idle_cv_.notify_all();
  cv_.wait(lock, [this] { return abort_ || quit_ || (!hold_ && !records_.empty()); });
  waiting_ = false;
  if (abort_ || records_.empty()) return false;
  out.swap(records_);
  return true;
}

bool TMessageQueue::WaitIdle(int64_t timeout_ms) {
  std::unique_lock lock(mutex_);
  return idle_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [this] { return abort_ || quit_ || (waiting_ && records_.empty()); });
}

size_t TMessageQueue::Size() const {
  std::lock_guard lock(mutex_);
  return records_.size();
}

}  // namespace kv
