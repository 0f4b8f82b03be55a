// TShutdownFlag: a flag whose setting ends waits at once. A wait on a
// TClockCondition registers the condition for as long as it waits
// (TShutdownFlag::TWake); a wait on a socket also polls Fd(). The server
// state holds one: the rcon shutdown of one service.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "core/clock.h"

namespace kv {

class TShutdownFlag {
 public:
  TShutdownFlag();
  ~TShutdownFlag();
  TShutdownFlag(const TShutdownFlag&) = delete;
  TShutdownFlag& operator=(const TShutdownFlag&) = delete;

  // Sets or clears the flag; a change notifies every registered condition
  // (after the flag has changed) and the descriptor. Any thread.
  void Set(bool on);
  bool IsSet() const { return set_.load(); }
  // Readable while the flag is set; -1 where no eventfd could be made (a
  // socket wait then looks at the flag in short slices). Any thread.
  int Fd() const { return fd_; }

  // Registers a condition for the life of a wait, so the waiter needs no
  // look at the flag meanwhile. Take it before the lock the waiter waits
  // with. A null flag registers nothing.
  class TWake {
   public:
    TWake(const TShutdownFlag* flag, TClockCondition& condition);
    ~TWake();
    TWake(const TWake&) = delete;
    TWake& operator=(const TWake&) = delete;

   private:
    const TShutdownFlag* flag_;
    TClockCondition& condition_;
  };

 private:
  std::atomic<bool> set_{false};
  int fd_ = -1;
  // Guards wakes_; only the conditions' own locks are taken under it.
  mutable std::mutex wakes_mutex_;
  mutable std::vector<TClockCondition*> wakes_;
};

}  // namespace kv
