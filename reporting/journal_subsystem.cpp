#include "reporting/journal_subsystem.h"

#include "core/bus_hub.h"

namespace kv {

TJournalSubsystem::TJournalSubsystem(TRuntime& runtime) : runtime_(runtime) {
  // Made before the list registers anything, so that the start-up itself is
  // journaled: its rows go in first. Nothing is written back here: the
  // settings load stores what is missing.
  RegisterSettingRows(Rows());
  TSettings settings(runtime.config, runtime.home);
  writer_ = std::make_unique<TLogWriter>(ReadJournalSettings(settings), runtime.home.string());
}

TJournalSubsystem::~TJournalSubsystem() { Close(); }

void TJournalSubsystem::ApplySettings(TSettings& settings) {
  if (writer_) writer_->SetSettings(ReadJournalSettings(settings));
}

void TJournalSubsystem::Close() {
  if (!writer_) return;
  if (runtime_.hub) runtime_.hub->Flush(2000);
  writer_->Flush(2000);
  writer_.reset();
}

}  // namespace kv
