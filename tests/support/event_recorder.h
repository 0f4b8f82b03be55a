// A subscriber that keeps a copy of every game event it receives, for tests
// that look at what a part of the game link posted.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/bus_monitor.h"
#include "core/threads.h"
#include "domain/events.h"

namespace kv::testing {

// Copies are taken in the handler, while the bus guards the shared object:
// later subscribers may change theirs without the test seeing it.
class TEventRecorder {
 public:
  using TEvents = std::vector<std::shared_ptr<TMohaaEvent>>;

  // The events of these kinds (ekKill, ...).
  explicit TEventRecorder(std::initializer_list<int> kinds);
  // The events posted under these categories ("EVENTkill", ...).
  explicit TEventRecorder(const std::vector<std::string>& categories);
  ~TEventRecorder();
  TEventRecorder(const TEventRecorder&) = delete;
  TEventRecorder& operator=(const TEventRecorder&) = delete;

  // Waits until at least n events arrived; false after timeout_ms.
  bool WaitCount(size_t n, int64_t timeout_ms = 5000);
  // Waits until the events received so far satisfy `done`.
  bool WaitUntil(const std::function<bool(const TEvents&)>& done, int64_t timeout_ms = 5000);
  // Waits until everything posted before the call has reached the recorder.
  bool Flush(int64_t timeout_ms = 5000);
  size_t Count();
  TEvents Events();
  std::shared_ptr<TMohaaEvent> At(size_t i);

 private:
  void Subscribe();

  std::mutex mutex_;  // guards events_
  std::condition_variable cv_;
  TEvents events_;
  TThreadPtr<TMsgMonitor> monitor_;
};

}  // namespace kv::testing
