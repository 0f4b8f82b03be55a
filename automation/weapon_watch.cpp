#include "automation/weapon_watch.h"

#include <algorithm>

#include "core/bus.h"
#include "core/commands.h"
#include "core/cp1252.h"
#include "core/datafiles.h"
#include "core/mainloop.h"
#include "core/stream.h"
#include "domain/events.h"
#include "domain/player_vars.h"
#include "domain/runtime.h"
#include "domain/serverinfo.h"
#include "enforcement/banlist.h"
#include "enforcement/kicks.h"
#include "enforcement/pattern.h"
#include "enforcement/templates.h"
#include "gamelink/console.h"
#include "players/tracker.h"

namespace kv {
namespace {

int64_t WeaponClassOf(const TMohaaEvent& event) {
  TVariant v;
  if (!event.variables.TryGetValue("Weapon", v)) return -1;
  try {
    return v.AsInt64();
  } catch (const std::exception&) {
    return -1;
  }
}

}  // namespace

// Says the queued warnings one after the other and sleeps when none waits.
class TWeaponWatchList::TSender : public TWorkerThread {
 public:
  explicit TSender(TWeaponWatchList& owner) : TWorkerThread("TWeaponWatch", kUntilWoken), owner_(owner) {}

 protected:
  void Iteration() override {
    for (;;) {
      std::string text;
      {
        std::lock_guard lock(owner_.queue_mutex_);
        if (owner_.warnings_.empty()) break;
        text = std::move(owner_.warnings_.front());
        owner_.warnings_.pop_front();
        owner_.busy_ = true;
      }
      // At the end the warnings still waiting are dropped.
      if (!Terminated()) {
        try {
          SayFinalText(owner_.runtime_.server, text, false);
        } catch (const std::exception& e) {
          PostGlobal("SendConsoleMessage error: " + std::string(e.what()) + " Message:" + text, mlCritical);
        }
      }
      {
        std::lock_guard lock(owner_.queue_mutex_);
        owner_.busy_ = false;
      }
      owner_.queue_cv_.notify_all();
    }
  }

 private:
  TWeaponWatchList& owner_;
};

TWeaponWatchList::~TWeaponWatchList() { Close(); }

void TWeaponWatchList::Close() {
  {
    std::lock_guard lock(sender_mutex_);
    if (!sender_) return;
  }
  Flush(5000);
  TThreadPtr<TSender> sender;
  {
    std::lock_guard lock(sender_mutex_);
    sender = std::move(sender_);
  }
  if (!sender) return;
  sender->TerminateAndJoin();
  std::lock_guard lock(queue_mutex_);
  warnings_.clear();
}

bool TWeaponWatchList::Flush(int64_t timeout_ms) {
  std::unique_lock lock(queue_mutex_);
  return queue_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                            [&] { return warnings_.empty() && !busy_; });
}

void TWeaponWatchList::Warn(const TWeaponWatchDef& watch, const TReplaceArray& extra, int32_t client) {
  const std::string& message = watch.warning_message;
  if (message.size() > kMaxConsoleMessage) {
    PostGlobal("SendConsoleMessage Ignoring Message: " + message + " Error: Message to long (>200 chars)",
               mlCritical);
    return;
  }
  if (message.empty()) return;
  // Expanded now, while the killer's data is at hand, as a background
  // message would be; the sender says the text as it is.
  std::string text;
  try {
    text = ExpandMessage(&runtime_.server, message, extra, client, nullptr);
  } catch (const std::exception& e) {
    PostGlobal("SendConsoleMessage error: " + std::string(e.what()) + " Message:" + message, mlCritical);
    return;
  }
  {
    std::lock_guard lock(queue_mutex_);
    // A server that cannot take the warnings as fast as the kills come must
    // not make the queue grow without bound.
    if (warnings_.size() >= kMaxQueuedWarnings) {
      if (!overflow_)
        PostGlobal("TWeaponWatch: more than " + std::to_string(kMaxQueuedWarnings) +
                       " warnings wait for the game server - further ones are dropped",
                   mlWarning);
      overflow_ = true;
      return;
    }
    overflow_ = false;
    warnings_.push_back(std::move(text));
  }
  std::lock_guard lock(sender_mutex_);
  if (!sender_) sender_ = MakeThread<TSender>(*this);
  sender_->Wake();
}

TWeaponWatchList::TWeaponWatchList(TRuntime& runtime, THistoryUserList& tracker, TKicker& kicker,
                                   TBanList* bans)
    : runtime_(runtime), tracker_(tracker), kicker_(kicker), bans_(bans) {
  tracker_.AddEventHandler(ekKill, [this](const TMohaaEvent& event) { OnKill(event); });
}

void TWeaponWatchList::RegisterDataFiles(TDataFileRegistry& registry) {
  TDataFileHandler handler;
  handler.load = [this](TStream& in) { Load(in); };
  handler.save = [this](TStream& out) { Save(out); };
  registry.Register(TDataFileId::WeaponsBan, std::move(handler));
}

int32_t TWeaponWatchList::Add(const TWeaponWatchDef& watch) {
  TLockGuard lock(mutex_);
  for (const auto& w : watches_)
    if (w.weapon_class == watch.weapon_class) return -1;
  watches_.push_back(watch);
  return static_cast<int32_t>(watches_.size() - 1);
}

bool TWeaponWatchList::Delete(size_t position) {
  TLockGuard lock(mutex_);
  if (position >= watches_.size()) return false;
  watches_.erase(watches_.begin() + static_cast<ptrdiff_t>(position));
  return true;
}

std::optional<TWeaponWatchDef> TWeaponWatchList::Find(uint8_t weapon_class) const {
  TLockGuard lock(mutex_);
  for (const auto& w : watches_)
    if (w.weapon_class == weapon_class) return w;
  return std::nullopt;
}

std::vector<TWeaponWatchDef> TWeaponWatchList::Watches() const {
  TLockGuard lock(mutex_);
  return watches_;
}

void TWeaponWatchList::Clear() {
  TLockGuard lock(mutex_);
  watches_.clear();
}

void TWeaponWatchList::Load(TStream& in) {
  Clear();
  std::vector<TWeaponWatchDef> read;
  std::string failure;
  try {
    ReadWeaponWatchFile(in, read);
  } catch (const EStreamError& e) {
    failure = e.what();
  }
  for (const auto& w : read) Add(w);
  if (!failure.empty()) throw EStreamError(failure);
}

void TWeaponWatchList::Save(TStream& out) const { WriteWeaponWatchFile(out, Watches()); }

void TWeaponWatchList::OnKill(const TMohaaEvent& event) {
  try {
    if (event.kind != ekKill) return;
    const int64_t cls = WeaponClassOf(event);
    if (cls < 0 || cls > 255) return;
    const auto watch = Find(static_cast<uint8_t>(cls));
    if (!watch) return;
    if (!runtime_.server.Settings().Bool("EnableWeaponDetect")) return;
    Judge(event, *watch);
  } catch (const std::exception& e) {
    PostGlobal(std::string("TWeaponWatch failed with: ") + e.what(), mlCritical);
  }
}

void TWeaponWatchList::Judge(const TMohaaEvent& event, const TWeaponWatchDef& watch) {
  const std::string class_name = watch.weapon_class < kWeaponClassCount
                                     ? kWeaponClassNames[watch.weapon_class]
                                     : kWeaponClassNames[wcUnknown];
  const TReplaceArray extra = {{"%weapon%", class_name}};
  if (!event.log_entry) return;
  const TUserListEntry& killer_row = event.log_entry->second_player;
  const auto killer = tracker_.GetUserByIdOrNick(killer_row.client_number, killer_row.name);
  if (!killer) {
    PostGlobal("User not Found on WeaponWatch Exec", mlDebug);
    return;
  }
  // The client number the log line was matched to is the one on the server
  // now; a history found by its nick may still hold an older one.
  const int32_t client =
      killer_row.client_number >= 0 ? killer_row.client_number : killer->player.client_number;
  const int32_t kills = AddCounter(killer->visit, "KilledWithUnwantedWeapon" + class_name);
  if (kills < watch.kills_before_kick) {
    if (watch.warn) Warn(watch, extra, client);
    return;
  }
  if (!kicker_.AddKickThread(client, watch.kick_repetitions, watch.kick_delay, extra, watch.kick_message))
    return;
  const int32_t kicks = AddCounter(killer->persistent, "KickedforAbuse_Weapon_" + class_name);
  if (kicks < watch.kicks_before_ban) return;

  // The reason keeps its player placeholders for the ban list to fill in
  // when it strikes; the nick is banned literally, brackets and all.
  const std::string reason = ExpandPlaceholders(&runtime_.server, watch.ban_message, extra, kNoPlayer);
  const std::string nick = QuotePattern(killer->player.name);
  const std::string address = watch.ban_address ? QuotePattern(killer->player.address) : std::string();
  const int32_t minutes = watch.ban_minutes;
  const double end = event.time + minutes / 1440.0;  // from the kill, however late it is judged
  TBanList* bans = bans_;
  if (!bans) {
    PostGlobal("TWeaponWatch: no ban list - " + nick + " is not banned: " + reason, mlError);
    return;
  }
  // The ban-list lock ranks above the store lock held on this thread.
  const bool posted = runtime_.loop.Post([bans, nick, address, reason, minutes, end] {
    if (minutes == 0 || minutes == -1)
      bans->AddBan(nick, address, reason, minutes);
    else
      bans->AddBanUntil(nick, address, reason, end);
  });
  if (!posted) PostGlobal("TWeaponWatch: the service stops - " + nick + " is not banned: " + reason, mlError);
}

void TWeaponWatchList::RegisterCommands(TCommandTable& commands) {
  commands.Add({.name = "weaponbans",
                .help = "list the forbidden weapon classes with their limits and messages",
                .thread = TCommandThread::Caller,
                .right = "server",
                .handler = [this](const TCommandContext&, const std::string&) {
                  TCommandResult r;
                  nlohmann::json items = nlohmann::json::array();
                  for (const auto& w : Watches()) {
                    auto j = WeaponWatchToJson(w);
                    r.text +=
                        j["weapon_class_name"].get<std::string>() + ": warn " + (w.warn ? "on" : "off") +
                        ", kick after " + std::to_string(w.kills_before_kick) + " kills, ban after " +
                        std::to_string(w.kicks_before_ban) + " kicks for " +
                        (w.ban_minutes == 0 || w.ban_minutes == -1 ? std::string("ever")
                                                                   : std::to_string(w.ban_minutes) + " min") +
                        (w.ban_address ? " (nick and address)" : "") + "\n";
                    items.push_back(std::move(j));
                  }
                  if (items.empty()) r.text = "no weapon is forbidden\n";
                  r.data = {{"watches", items}};
                  return r;
                }});
}

}  // namespace kv
