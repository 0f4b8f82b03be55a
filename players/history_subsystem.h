// The history store as a part of the service: it owns the THUserList of
// home/Data/History, plugs it into the data-file registry (load = rebuild
// the index, save = write the cache and the index, setup export = the
// export stream) and flushes it when the service closes.
#pragma once

#include <memory>
#include <string_view>

#include "domain/runtime.h"
#include "domain/subsystem.h"
#include "players/history_store.h"

namespace kv {

class THistoryStoreSubsystem : public TSubsystem {
 public:
  // Creates home/Data/History (EStreamError when it cannot).
  explicit THistoryStoreSubsystem(TRuntime& runtime);
  ~THistoryStoreSubsystem() override;

  std::string_view Name() const override { return "history"; }
  // Its rows of the settings catalogue (the player cache).
  static std::span<const TSettingRows> Rows();
  std::span<const TSettingRows> SettingRows() const override { return Rows(); }
  void RegisterDataFiles(TDataFileRegistry& registry) override;
  void ApplySettings(TSettings& settings) override;
  void Close() override;

  // The store; lives as long as the subsystem. Any thread (the store locks).
  THUserList& Store() { return *store_; }

 private:
  std::unique_ptr<THUserList> store_;
  TDataFileRegistry* registry_ = nullptr;
};

}  // namespace kv
