#include "domain/events.h"

#include <array>

#include "core/bus_hub.h"
#include "core/clock.h"

namespace kv {

THistoryUserEntry::THistoryUserEntry(const THistoryUserEntry& other) : ping_samples(1, 0) {
  std::shared_lock guard(other.lock);
  persistent.Assign(&other.persistent);
  player = other.player;
}

TMohaaEvent::TMohaaEvent() : time(Now()) {}

TMohaaEvent::TMohaaEvent(uint8_t k, std::string t) : kind(k), text(std::move(t)), time(Now()) {}

size_t TMohaaEvent::Footprint() const {
  // The allocations that grow with the event; an estimate is enough.
  constexpr size_t kBlock = 16;  // heap bookkeeping per allocation
  size_t bytes = sizeof(*this) + 2 * kBlock + text.size();
  if (log_entry) bytes += sizeof(TLogEntry) + kBlock + log_entry->line.size();
  if (history_entry) bytes += sizeof(THistoryUserEntry) + kBlock;
  if (player_list) bytes += static_cast<size_t>(player_list->Count()) * sizeof(TUserListEntry);
  return bytes;
}

std::unique_ptr<TLogEntry> CloneLogEntry(const TLogEntry& entry) {
  auto copy = std::make_unique<TLogEntry>();
  copy->first_player = entry.first_player;
  copy->second_player = entry.second_player;
  copy->line = entry.line;
  copy->variables.Assign(&entry.variables);
  return copy;
}

std::string EventWeaponName(const TMohaaEvent& event) {
  TVariant v;
  if (!event.variables.TryGetValue("Weapon", v)) return kWeaponClassNames[wcUnknown];
  int64_t cls = -1;
  try {
    cls = v.AsInt64();
  } catch (const std::exception&) {
  }
  return cls >= 0 && cls < kWeaponClassCount ? kWeaponClassNames[cls] : kWeaponClassNames[wcUnknown];
}

std::unique_ptr<TMohaaEvent> CloneEvent(const TMohaaEvent* event) {
  if (!event) return nullptr;
  auto copy = std::make_unique<TMohaaEvent>(event->kind, event->text);
  copy->time = event->time;
  if (event->log_entry) copy->log_entry = CloneLogEntry(*event->log_entry);
  if (event->player_list) copy->player_list = CopyUserList(*event->player_list);
  if (event->history_entry) copy->history_entry = std::make_unique<THistoryUserEntry>(*event->history_entry);
  copy->variables.Assign(&event->variables);
  return copy;
}

bool PostEvent(std::shared_ptr<TMohaaEvent> event) {
  // The category names are made once: every log line posts an event.
  static const auto categories = [] {
    std::array<std::string, kEventKindCount> names;
    for (int k = 0; k < kEventKindCount; ++k) names[k] = EventCategory(k);
    return names;
  }();
  const int kind = event->kind < kEventKindCount ? event->kind : 0;
  return PostMonitorMessage(categories[kind], EventKindName(kind), mlInformation,
                            std::shared_ptr<TBusObject>(std::move(event)));
}

void RegisterSystemCategories() {
  const auto hub = GetMonitorInterface();
  if (!hub) return;
  hub->RegisterCategory("GLOBAL", kDataPointer);
  hub->RegisterCategory("Exceptions", kDataObject);
  for (int k = 0; k < kEventKindCount; ++k)
    hub->RegisterCategory(std::string("Event") + EventKindName(k), kDataObject);
}

}  // namespace kv
