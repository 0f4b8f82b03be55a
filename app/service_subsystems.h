// The service's own parts in its subsystem list: the lifecycle with its log
// followers, the AutoSave timer, and the data files' final save. The
// lifecycle and AutoSave take their groups from the service's last settings
// load (what a failing group keeps is decided there).
#pragma once

#include <functional>
#include <memory>

#include "app/lifecycle.h"
#include "domain/runtime.h"
#include "domain/settings.h"
#include "domain/subsystem.h"

namespace kv {

class TLifecycleSubsystem : public TSubsystem {
 public:
  TLifecycleSubsystem(TRuntime& runtime, TFollowerFactory followers, const TLoadedSettings& loaded);
  std::string_view Name() const override { return "followers"; }
  // Its rows of the settings catalogue.
  static std::span<const TSettingRows> Rows();
  std::span<const TSettingRows> SettingRows() const override { return Rows(); }
  void ApplySettings(TSettings& settings) override;
  void Start() override;
  void Stop() override;
  // Stops the followers and the watchdog for good.
  void Close() override;
  // Null once closed.
  TServiceLifecycle* Lifecycle() const { return lifecycle_.get(); }

 private:
  const TLoadedSettings& loaded_;
  std::unique_ptr<TServiceLifecycle> lifecycle_;
};

// Saves every data file each SaveTimer minutes.
class TAutoSaveSubsystem : public TSubsystem {
 public:
  TAutoSaveSubsystem(TRuntime& runtime, std::function<bool()> save, const TLoadedSettings& loaded);
  std::string_view Name() const override { return "autosave"; }
  // Its rows of the settings catalogue.
  static std::span<const TSettingRows> Rows();
  std::span<const TSettingRows> SettingRows() const override { return Rows(); }
  void ApplySettings(TSettings& settings) override;
  void Close() override;

 private:
  void Set(int64_t interval_ms);

  TRuntime& runtime_;
  std::function<bool()> save_;
  const TLoadedSettings& loaded_;
  TTimerHandle timer_;
  int64_t interval_ms_ = 0;
};

// Stands in the list before every part whose data the files hold, so that
// its Close, the final save, comes after all of them have closed, and
// before the journals end. Opened only after a settings load: a start that
// failed before it saves nothing (it would replace the files with empty
// lists). Its Close also says the service has stopped.
class TDataSaveSubsystem : public TSubsystem {
 public:
  TDataSaveSubsystem(std::function<bool()> save, std::string stopped_text);
  std::string_view Name() const override { return "data files"; }
  void Open() override { open_ = true; }
  void Close() override;

 private:
  std::function<bool()> save_;
  std::string stopped_text_;
  bool open_ = false;
};

}  // namespace kv
