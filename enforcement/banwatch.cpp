#include "enforcement/banwatch.h"

#include <variant>

#include "core/bus.h"
#include "core/bus_hub.h"
#include "core/bus_monitor.h"
#include "core/cp1252.h"
#include "domain/events.h"
#include "domain/runtime.h"
#include "domain/userlist.h"
#include "enforcement/pattern.h"
#include "enforcement/templates.h"

namespace kv {

struct TBanWatch::TCandidate {
  std::string name;
  std::string address;
  int32_t client = kClientNotSet;
};

namespace {

// Events that only report what enforcement did (a kick, a ban) name the
// player it struck; scanning them would strike him again once his kick has
// ended, while the current player list still shows him until the next poll.
bool ReportsEnforcement(uint8_t kind) {
  return kind == ekUserBanned || kind == ekUseripBanned || kind == ekUserKicked || kind == ekBanOver ||
         kind == ekBanAdded;
}

// Kinds the log produces line by line.
bool PerLineKind(uint8_t kind) {
  switch (kind) {
    case ekKill:
    case ekSelfKill:
    case ekNewLogFileEntry:
    case ekNewRconLog:
    case ekChatMessage:
    case ekTeamKill:
    case ekSpawnKill:
    case ekTeamChange:
    case ekWeaponChange:
    case ekWeaponReload:
    case ekShowScore:
    case ekMessageSend: return true;
    default: return false;
  }
}

std::shared_ptr<const TPattern> CompileSetting(const char* key, const std::string& text, std::string& error) {
  if (text.empty()) return nullptr;
  std::string why;
  auto pattern = TPattern::Compile(text, why);
  if (!pattern)
    error += std::string(error.empty() ? "" : "; ") + key + " [" + text + "] is no valid expression: " + why;
  return pattern;
}

bool Immune(const TBanSettings& s, const std::string& name, const std::string& address) {
  return (s.immune_nicks && s.immune_nicks->Search(name)) || (s.immune_ips && s.immune_ips->Search(address));
}

}  // namespace

TBanSettings TBanWatch::MakeSettings(std::string immune_nicks, std::string immune_ips, int32_t kick_repeat,
                                     int32_t kick_delay) {
  TBanSettings s;
  s.immune_nicks = CompileSetting("BanimmuneNicks", immune_nicks, s.immunity_error);
  s.immune_ips = CompileSetting("BanimmuneIps", immune_ips, s.immunity_error);
  s.immune_nicks_text = std::move(immune_nicks);
  s.immune_ips_text = std::move(immune_ips);
  s.kick_repeat = kick_repeat;
  s.kick_delay = kick_delay;
  return s;
}

TBanWatch::TBanWatch(TRuntime& runtime, TKicker& kicker)
    : runtime_(runtime),
      kicker_(kicker),
      list_(runtime.clock),
      settings_(MakeSettings("\\[Z\\.A\\.Q\\]", "", 1, -1)) {}

TBanWatch::~TBanWatch() { Close(); }

void TBanWatch::RegisterDataFiles(TDataFileRegistry& registry) {
  TDataFileHandler handler;
  handler.load = [this](TStream& in) { list_.Load(in); };
  handler.save = [this](TStream& out) { list_.Save(out); };
  registry.Register(TDataFileId::BanList, std::move(handler));
}

void TBanWatch::ApplySettings(TSettings& settings) {
  TBanSettings s = MakeSettings(settings.String("BanimmuneNicks"), settings.String("BanimmuneIps"),
                                settings.Int("BKickRepeat"), settings.Int("BKickDelay"));
  // Until it is mended nobody is struck: an immune player must not be kicked
  // because his immunity cannot be read.
  if (!s.immunity_error.empty())
    PostGlobal("TBanWatch failed with: " + s.immunity_error + " - no ban strikes until it is mended",
               mlCritical);
  settings_.Publish(std::move(s));
}

void TBanWatch::Open() {
  if (monitor_) return;
  // The events that say who is on the server: every status poll lists each
  // player with his address, and the tracker reports arrivals, returns and
  // new nicks at once. The per-line kinds (log lines, kills, chat, weapon
  // and team changes) name players those lists already hold; taking each of
  // them would make the watch a second consumer of every object the log
  // produces, for no player it would not meet within one poll.
  monitor_ = MakeThread<TMsgMonitor>(false);
  for (int kind = 0; kind < kEventKindCount; ++kind)
    if (!PerLineKind(static_cast<uint8_t>(kind))) monitor_->AddCategory(EventCategory(kind));
  monitor_->SetAcceptedLevels({mlInformation});
  monitor_->SetLevelHandler(
      mlInformation, [this](const std::string& category, const std::string&, TMsgData& data, uint8_t) {
        if (AnsiUpperCase(category).find("EVENT") == std::string::npos) return;
        const auto* object = std::get_if<std::shared_ptr<TBusObject>>(&data);
        const auto* event = object ? dynamic_cast<const TMohaaEvent*>(object->get()) : nullptr;
        if (event) Scan(*event);
      });
  subscription_ = Subscribe(*monitor_);
}

void TBanWatch::Close() {
  subscription_.Reset();
  monitor_.reset();  // handles what it has queued, then ends
}

bool TBanWatch::Flush(int64_t timeout_ms) {
  auto hub = GetMonitorInterface();
  if (hub && !hub->Flush(timeout_ms)) return false;
  return !monitor_ || monitor_->Flush(timeout_ms);
}

void TBanWatch::Scan(const TMohaaEvent& event) {
  try {
    const auto settings = settings_.Get();
    list_.WithBans([&](std::vector<TBanList::TStoredBan>& bans) { ScanLocked(event, *settings, bans); });
  } catch (const std::exception& e) {
    PostGlobal(std::string("TBanWatch failed with: ") + e.what(), mlCritical);
  }
}

void TBanWatch::ScanLocked(const TMohaaEvent& event, const TBanSettings& settings,
                           std::vector<TBanList::TStoredBan>& bans) {
  std::vector<TCandidate> candidates;
  // Players without a client number (not found in the list) cannot be
  // kicked; they are not candidates.
  const auto add = [&](const TUserListEntry& p) {
    if (p.client_number >= 0) candidates.push_back({p.name, p.address, p.client_number});
  };
  if (!ReportsEnforcement(event.kind)) {
    if (event.log_entry) {
      add(event.log_entry->first_player);
      add(event.log_entry->second_player);
    }
    if (event.player_list) event.player_list->ForEachRow(add);
  }
  for (size_t i = 0; i < bans.size();) {
    TBanList::TStoredBan& ban = bans[i];
    // Judged at the event's own time, not at the time the scan gets to it.
    if (ban.entry.end != 0 && event.time > ban.entry.end) {
      TBanList::PublishBanOver(ban.entry);
      bans.erase(bans.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    ++i;
    if (!ban.entry.ac_id.empty() || candidates.empty()) continue;
    if (!ban.address_error.empty() && !ban.address_error_reported) {
      ban.address_error_reported = true;
      PostGlobal("TBanWatch failed with: address filter [" + ban.entry.address_filter +
                     "] is no valid expression: " + ban.address_error +
                     " - only the nick filter of that ban strikes",
                 mlCritical);
    }
    if (!settings.immunity_error.empty()) continue;
    const std::string& nick_filter = ban.entry.nick_filter;
    for (const TCandidate& c : candidates) {
      if (Immune(settings, c.name, c.address)) continue;
      // A nick filter that is no valid expression strikes the names that
      // contain it as plain text.
      const bool by_nick = !nick_filter.empty() && (ban.nick ? ban.nick->Search(c.name)
                                                             : c.name.find(nick_filter) != std::string::npos);
      const bool by_address = ban.address && ban.address->Search(c.address);
      if (by_nick || by_address) Strike(ban, c, by_address, settings);
    }
  }
}

void TBanWatch::Strike(const TBanList::TStoredBan& ban, const TCandidate& who, bool by_address,
                       const TBanSettings& settings) {
  // One kick at a time: while his kick is under way further events that
  // name him neither announce nor kick again.
  if (kicker_.IsKickPending(who.client)) return;
  auto event =
      std::make_shared<TMohaaEvent>(by_address ? ekUseripBanned : ekUserBanned,
                                    ExpandPlaceholders(&runtime_.server, ban.entry.message, {}, who.client));
  if (auto current = runtime_.server.players.Snapshot()) {
    TUserListEntry row = FindListEntry(*current, who.client);
    if (row.client_number == who.client) {
      event->log_entry = std::make_unique<TLogEntry>();
      event->log_entry->first_player = std::move(row);
    }
  }
  PostEvent(std::move(event));
  kicker_.AddKickThread(who.client, settings.kick_repeat, settings.kick_delay, {}, ban.entry.message);
}

}  // namespace kv
