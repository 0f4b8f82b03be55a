#include "tests/support/event_recorder.h"

#include <chrono>
#include <utility>
#include <variant>

#include "core/bus_hub.h"

namespace kv::testing {

TEventRecorder::TEventRecorder(std::initializer_list<int> kinds) : monitor_(MakeThread<TMsgMonitor>(false)) {
  for (int k : kinds) monitor_->AddCategory(EventCategory(k));
  Subscribe();
}

TEventRecorder::TEventRecorder(const std::vector<std::string>& categories)
    : monitor_(MakeThread<TMsgMonitor>(false)) {
  for (const auto& c : categories) monitor_->AddCategory(c);
  Subscribe();
}

TEventRecorder::~TEventRecorder() { monitor_->Stop(); }

void TEventRecorder::Subscribe() {
  monitor_->SetLevelHandler(
      mlInformation, [this](const std::string&, const std::string&, TMsgData& data, uint8_t) {
        const auto* object = std::get_if<std::shared_ptr<TBusObject>>(&data);
        const auto* event = object ? dynamic_cast<const TMohaaEvent*>(object->get()) : nullptr;
        if (!event) return;
        std::shared_ptr<TMohaaEvent> copy = CloneEvent(event);
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(copy));
        cv_.notify_all();
      });
  GetMonitorInterface()->AddMonitor(monitor_.get());
}

bool TEventRecorder::WaitCount(size_t n, int64_t timeout_ms) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return events_.size() >= n; });
}

bool TEventRecorder::WaitUntil(const std::function<bool(const TEvents&)>& done, int64_t timeout_ms) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return done(events_); });
}

bool TEventRecorder::Flush(int64_t timeout_ms) {
  auto hub = GetMonitorInterface();
  return hub && hub->Flush(timeout_ms) && monitor_->Flush(timeout_ms);
}

size_t TEventRecorder::Count() {
  std::lock_guard lock(mutex_);
  return events_.size();
}

TEventRecorder::TEvents TEventRecorder::Events() {
  std::lock_guard lock(mutex_);
  return events_;
}

std::shared_ptr<TMohaaEvent> TEventRecorder::At(size_t i) {
  std::lock_guard lock(mutex_);
  return events_.at(i);
}

}  // namespace kv::testing
