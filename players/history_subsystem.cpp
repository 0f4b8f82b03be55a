#include "players/history_subsystem.h"

#include "domain/settings.h"

namespace kv {

THistoryStoreSubsystem::THistoryStoreSubsystem(TRuntime& runtime)
    : runtime_(runtime),
      store_(std::make_unique<THUserList>(
          TDataFileRegistry::DataDir(runtime.home) / DataFileInfo(TDataFileId::History).file_name,
          runtime.clock)) {}

THistoryStoreSubsystem::~THistoryStoreSubsystem() {
  if (registry_) registry_->Unregister(TDataFileId::History);
}

void THistoryStoreSubsystem::RegisterDataFiles(TDataFileRegistry& registry) {
  TDataFileHandler h;
  THUserList* store = store_.get();
  h.load_dir = [store](const std::filesystem::path&) { store->RefreshKnownUsers(); };
  h.save_dir = [store](const std::filesystem::path&) {
    store->SaveAllUsers();
    store->WriteIndex();
  };
  h.export_save = [store](TStream& out) { store->ExportUsers(out); };
  h.import_load = [store](TStream& in) { store->ImportUsers(in); };
  registry.Register(TDataFileId::History, std::move(h));
  registry_ = &registry;
}

void THistoryStoreSubsystem::ApplySettings(TSettings& settings) {
  THistoryStoreSettings s;
  s.cache_timeout_s = settings.Int("UserCacheTimeOut");
  store_->ApplySettings(s);
}

void THistoryStoreSubsystem::Close() { store_->FlushUsers(); }

}  // namespace kv
