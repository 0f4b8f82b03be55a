#include "app/service_subsystems.h"

#include "core/bus.h"

namespace kv {

TLifecycleSubsystem::TLifecycleSubsystem(TRuntime& runtime, TFollowerFactory followers,
                                         const TLoadedSettings& loaded)
    : loaded_(loaded),
      lifecycle_(std::make_unique<TServiceLifecycle>(runtime.loop, runtime.server, std::move(followers))) {}

void TLifecycleSubsystem::ApplySettings(TSettings&) {
  if (lifecycle_) lifecycle_->SetLogSource(loaded_.log_source);
}

void TLifecycleSubsystem::Start() {
  if (lifecycle_) lifecycle_->Start();
}

void TLifecycleSubsystem::Stop() {
  if (lifecycle_) lifecycle_->Stop();
}

void TLifecycleSubsystem::Close() { lifecycle_.reset(); }

TAutoSaveSubsystem::TAutoSaveSubsystem(TRuntime& runtime, std::function<bool()> save,
                                       const TLoadedSettings& loaded)
    : runtime_(runtime), save_(std::move(save)), loaded_(loaded) {}

void TAutoSaveSubsystem::ApplySettings(TSettings&) { Set(loaded_.auto_save_interval_ms); }

void TAutoSaveSubsystem::Close() {
  timer_.Reset();
  interval_ms_ = 0;
}

void TAutoSaveSubsystem::Set(int64_t interval_ms) {
  if (interval_ms == interval_ms_ && timer_.Active() == (interval_ms > 0)) return;
  timer_.Reset();
  interval_ms_ = interval_ms;
  if (interval_ms <= 0) return;
  timer_ = runtime_.loop.StartTimer(interval_ms, [this] {
    save_();
    Set(ReadAutoSaveIntervalMs(runtime_.config));  // a changed SaveTimer applies from now on
  });
}

TDataSaveSubsystem::TDataSaveSubsystem(std::function<bool()> save, std::string stopped_text)
    : save_(std::move(save)), stopped_text_(std::move(stopped_text)) {}

void TDataSaveSubsystem::Close() {
  if (!open_) return;
  open_ = false;
  save_();
  PostGlobal(stopped_text_, mlInformation);
}

}  // namespace kv
