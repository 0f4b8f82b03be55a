// The category journals as one part of the service: the writer exists from
// the moment the part is made (before the first settings load), so the
// start-up's own messages reach GlobalMessages.txt; it ends last of all
// parts, after the final save and the "stopped" message.
#pragma once

#include <memory>

#include "domain/runtime.h"
#include "domain/subsystem.h"
#include "reporting/logwriter.h"

namespace kv {

class TJournalSubsystem : public TSubsystem {
 public:
  // Creates the writer with the switches and directory the INI holds now
  // (start banner). Main thread.
  explicit TJournalSubsystem(TRuntime& runtime);
  ~TJournalSubsystem() override;

  std::string_view Name() const override { return "journals"; }
  // Its rows of the settings catalogue.
  static std::span<const TSettingRows> Rows();
  std::span<const TSettingRows> SettingRows() const override { return Rows(); }
  void ApplySettings(TSettings& settings) override;
  // Waits for what is queued for the journals, then ends them (stop banner).
  void Close() override;

  TLogWriter* Writer() const { return writer_.get(); }

 private:
  TRuntime& runtime_;
  std::unique_ptr<TLogWriter> writer_;
};

}  // namespace kv
