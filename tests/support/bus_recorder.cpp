#include "tests/support/bus_recorder.h"

#include <chrono>

#include "core/bus_hub.h"

namespace kv::testing {

TBusRecorder::TBusRecorder(const std::vector<std::string>& categories)
    : monitor_(MakeThread<TMsgMonitor>(categories.empty())) {
  for (const auto& c : categories) monitor_->AddCategory(c);
  for (uint8_t level = 0; level < kLevelCount; ++level) {
    monitor_->SetLevelHandler(
        level, [this](const std::string& category, const std::string& text, TMsgData&, uint8_t lvl) {
          std::lock_guard lock(mutex_);
          messages_.push_back({category, text, lvl});
          cv_.notify_all();
        });
  }
  if (auto hub = GetMonitorInterface()) hub->AddMonitor(monitor_.get());
}

TBusRecorder::~TBusRecorder() { monitor_->Stop(); }

std::vector<TRecordedMessage> TBusRecorder::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

bool TBusRecorder::WaitFor(const std::function<bool(const TRecordedMessage&)>& match, int64_t timeout_ms) {
  std::unique_lock lock(mutex_);
  size_t seen = 0;
  auto found = [&] {
    for (; seen < messages_.size(); ++seen) {
      if (match(messages_[seen])) return true;
    }
    return false;
  };
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), found);
}

bool TBusRecorder::WaitForText(const std::string& text, int64_t timeout_ms) {
  return WaitFor([&](const TRecordedMessage& m) { return m.text == text; }, timeout_ms);
}

size_t TBusRecorder::CountText(const std::string& text) const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const auto& m : messages_) n += m.text == text;
  return n;
}

bool TBusRecorder::Flush(int64_t timeout_ms) {
  auto hub = GetMonitorInterface();
  return hub && hub->Flush(timeout_ms) && monitor_->Flush(timeout_ms);
}

}  // namespace kv::testing
