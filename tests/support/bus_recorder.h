// A subscriber of the published hub that keeps what was posted, for tests
// that look at the messages a part sends.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/bus_monitor.h"
#include "core/threads.h"

namespace kv::testing {

struct TRecordedMessage {
  std::string category;  // as the recorder spells it
  std::string text;      // unformatted
  uint8_t level = 0;
};

// Keeps every message of the given categories (all categories when none
// are given), at every level, in delivery order.
class TBusRecorder {
 public:
  explicit TBusRecorder(const std::vector<std::string>& categories = {});
  ~TBusRecorder();
  TBusRecorder(const TBusRecorder&) = delete;
  TBusRecorder& operator=(const TBusRecorder&) = delete;

  std::vector<TRecordedMessage> Messages() const;
  // Waits until a recorded message satisfies `match`, at most timeout_ms.
  bool WaitFor(const std::function<bool(const TRecordedMessage&)>& match, int64_t timeout_ms = 5000);
  bool WaitForText(const std::string& text, int64_t timeout_ms = 5000);
  size_t CountText(const std::string& text) const;
  // Waits until everything posted before the call has reached the recorder:
  // what is not there then was never posted. False after timeout_ms.
  bool Flush(int64_t timeout_ms = 5000);
  TMsgMonitor& Monitor() { return *monitor_; }

 private:
  mutable std::mutex mutex_;  // guards messages_
  std::condition_variable cv_;
  std::vector<TRecordedMessage> messages_;
  TThreadPtr<TMsgMonitor> monitor_;
};

}  // namespace kv::testing
