#include "domain/subsystem.h"

namespace kv {

TSubsystemList::~TSubsystemList() {
  CloseAll();
  while (!items_.empty()) items_.pop_back();  // reverse order of creation
}

TSubsystem& TSubsystemList::Add(std::unique_ptr<TSubsystem> subsystem) {
  items_.push_back(std::move(subsystem));
  return *items_.back();
}

void TSubsystemList::RegisterAll(TDataFileRegistry& registry, TCommandTable& commands) {
  for (auto& item : items_) {
    RegisterSettingRows(item->SettingRows());
    item->RegisterDataFiles(registry);
    item->RegisterCommands(commands);
  }
}

void TSubsystemList::ApplySettings(TSettings& settings) {
  for (auto& item : items_) item->ApplySettings(settings);
}

void TSubsystemList::OpenAll() {
  while (opened_ < items_.size()) {
    try {
      items_[opened_]->Open();
    } catch (...) {
      CloseAll();
      throw;
    }
    ++opened_;
  }
}

void TSubsystemList::StartAll() {
  for (size_t i = 0; i < opened_; ++i) items_[i]->Start();
}

void TSubsystemList::StopAll() {
  for (size_t i = opened_; i-- > 0;) items_[i]->Stop();
}

void TSubsystemList::CloseAll() {
  while (opened_ > 0) {
    --opened_;
    items_[opened_]->Close();
  }
}

std::vector<TSubsystem*> TSubsystemList::Items() const {
  std::vector<TSubsystem*> out;
  out.reserve(items_.size());
  for (const auto& item : items_) out.push_back(item.get());
  return out;
}

}  // namespace kv
