#include "core/shutdown_flag.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

namespace kv {

TShutdownFlag::TShutdownFlag() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TShutdownFlag::~TShutdownFlag() {
  if (fd_ >= 0) ::close(fd_);
}

void TShutdownFlag::Set(bool on) {
  if (set_.exchange(on) == on) return;
  if (fd_ >= 0) {
    uint64_t value = 1;
    // Set: the counter becomes readable; cleared: reading empties it.
    [[maybe_unused]] const ssize_t n =
        on ? ::write(fd_, &value, sizeof value) : ::read(fd_, &value, sizeof value);
  }
  std::lock_guard lock(wakes_mutex_);
  for (TClockCondition* c : wakes_) c->NotifyAll();
}

TShutdownFlag::TWake::TWake(const TShutdownFlag* flag, TClockCondition& condition)
    : flag_(flag), condition_(condition) {
  if (!flag_) return;
  std::lock_guard lock(flag_->wakes_mutex_);
  flag_->wakes_.push_back(&condition_);
}

TShutdownFlag::TWake::~TWake() {
  if (!flag_) return;
  std::lock_guard lock(flag_->wakes_mutex_);
  flag_->wakes_.erase(std::find(flag_->wakes_.begin(), flag_->wakes_.end(), &condition_));
}

}  // namespace kv
