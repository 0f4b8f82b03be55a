#include "enforcement/templates.h"

#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <mutex>
#include <shared_mutex>

#include "core/bus.h"
#include "core/clock.h"
#include "core/cp1252.h"
#include "core/regional.h"
#include "core/version.h"  // header-only: the version text constant
#include "domain/domain.h"
#include "domain/settings.h"
#include "domain/traffic.h"
#include "domain/userlist.h"
#include "formats/config.h"
#include "gamelink/rcon.h"

namespace kv {
using namespace regional;
namespace {

// Position of the upper-case pattern in text at or after from, any case.
size_t FindUpper(std::string_view text, std::string_view upper, size_t from) {
  const auto& up = AnsiUpperTable();
  const size_t m = upper.size();
  if (m == 0 || text.size() < m) return std::string_view::npos;
  const unsigned char first = static_cast<unsigned char>(upper[0]);
  // Placeholders start with '%', which has no other case: memchr finds the
  // candidates far faster than a byte loop.
  const bool caseless_first = first == '%';
  for (size_t i = from; i + m <= text.size();) {
    if (caseless_first) {
      const void* hit = std::memchr(text.data() + i, '%', text.size() - m + 1 - i);
      if (!hit) return std::string_view::npos;
      i = static_cast<size_t>(static_cast<const char*>(hit) - text.data());
    } else if (up[static_cast<unsigned char>(text[i])] != first) {
      ++i;
      continue;
    }
    size_t k = 1;
    while (k < m && up[static_cast<unsigned char>(text[i + k])] == static_cast<unsigned char>(upper[k])) ++k;
    if (k == m) return i;
    ++i;
  }
  return std::string_view::npos;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  const auto& up = AnsiUpperTable();
  for (char& c : out) c = static_cast<char>(up[static_cast<unsigned char>(c)]);
  return out;
}

bool IsPlayerId(int32_t id) { return id != kClientNotSet && id != kNoPlayer; }

// One expansion: the text being built and the sources it reads.
class TExpansion {
 public:
  TExpansion(std::string& text, TMohaaServerInfo* info)
      : text_(text), info_(info), lookup_(info ? info->HistoryLookup() : nullptr) {}
  // The current player list, copied at the first placeholder that needs it
  // (null without a server).
  TUserList* List();

  void General();
  void Traffic();
  void ServerSettings();
  void PlayerList();
  void ListPlayer(int32_t player_id);
  void HistoryEntry(const THistoryUserEntry& entry);
  void Event(const TMohaaEvent& event);
  bool HasPercent() const { return text_.find('%') != std::string::npos; }

 private:
  void Put(std::string_view placeholder, std::string_view value) {
    ReplaceIgnoreCase(text_, placeholder, value);
  }
  // Works the value out only when the text (as far as it is built) holds
  // the placeholder: most texts name two or three of the fifty, and some
  // values cost a lock of the history store or a copy of the player list.
  template <class Value>
  void PutIfUsed(std::string_view placeholder, Value&& value) {
    if (Uses(placeholder)) Put(placeholder, value());
  }
  bool Uses(std::string_view placeholder) const { return ContainsIgnoreCase(text_, placeholder); }
  // Whether a stored variable of a player can still match.
  bool UsesStoredVars() const { return Uses("%DATA") || Uses("%TEMPDATA"); }
  void Player(const TUserListEntry& p, const char* suffix);
  void Skills(const std::string& nick, const char* suffix);
  void StoredVars(const THistoryUserEntry& entry, std::initializer_list<const char*> prefixes);
  std::shared_ptr<const THistoryUserEntry> Find(int32_t id, const std::string& nick) const;

  std::string& text_;
  TMohaaServerInfo* info_;
  std::shared_ptr<const THistoryLookup> lookup_;
  std::unique_ptr<TUserList> list_;
  bool list_taken_ = false;
};

TUserList* TExpansion::List() {
  if (!list_taken_) {
    // A private copy: the list lock is not held while the text is built.
    list_ = info_ ? info_->players.Snapshot() : nullptr;
    list_taken_ = true;
  }
  return list_.get();
}

void TExpansion::General() {
  const double now = Now();
  Put("%version%", kVersionText);
  PutIfUsed("%date%", [&] { return DateToStr(now); });
  PutIfUsed("%time%", [&] { return TimeToStr(now); });
  PutIfUsed("%datetime%", [&] { return DateTimeToStr(now); });
  PutIfUsed("%servername%", [&] {
    return info_ ? info_->Settings().String("Servername") : TSettingsReader().String("Servername");
  });
}

void TExpansion::Traffic() {
  if (!Uses("%KelvandromeClient")) return;
  const auto& t = RemoteTraffic();
  const uint64_t sent_raw = t.sent_raw, sent = t.sent_compressed;
  const uint64_t received_raw = t.received_raw, received = t.received_compressed;
  Put("%KelvandromeClientSend%", IntToStr(static_cast<int64_t>(sent_raw / 1024)) + " kb");
  Put("%KelvandromeClientCompressedSend%", IntToStr(static_cast<int64_t>(sent / 1024)) + " kb");
  if (sent_raw > 0)
    Put("%KelvandromeClientSendCompressionRate%", IntToStr(CompressionRatePercent(sent, sent_raw)) + "%");
  Put("%KelvandromeClientReceived%", IntToStr(static_cast<int64_t>(received_raw / 1024)) + " kb");
  Put("%KelvandromeClientCompressedReceived%", IntToStr(static_cast<int64_t>(received / 1024)) + " kb");
  if (received_raw > 0)
    Put("%KelvandromeClientReceivedCompressionRate%",
        IntToStr(CompressionRatePercent(received, received_raw)) + "%");
}

void TExpansion::ServerSettings() {
  PutIfUsed("%usercount%", [&] { return IntToStr(lookup_ ? lookup_->UserCount() : 0); });
  if (!Uses("%kick")) return;
  const std::shared_ptr<const TKickSettings> kicks = info_->kicks.Get();
  Put("%kickdelay%", IntToStr(kicks->kick_delay));
  Put("%KickRepeat%", IntToStr(kicks->kick_repeat));
  Put("%KickBanRepeat%", IntToStr(kicks->ban_kick_repeat));
  Put("%KickBanDelay%", IntToStr(kicks->ban_kick_delay));
}

void TExpansion::PlayerList() {
  if (!Uses("%clientcount%") && !Uses("ping%") && !Uses("%map%") && !Uses("%serveringamename%")) return;
  TUserList* list = List();
  if (!list) return;
  Put("%clientcount%", IntToStr(list->Count()));
  Put("%averageping%", IntToStr(list->avg_ping));
  Put("%minping%", IntToStr(list->min_ping));
  Put("%maxping%", IntToStr(list->max_ping));
  Put("%map%", list->map_name);
  Put("%serveringamename%", list->server_name);
}

void TExpansion::Player(const TUserListEntry& p, const char* suffix) {
  if (!Uses("%player")) return;
  const std::string s(suffix);
  Put("%playernick" + s + "%", p.name);
  Put("%playerip" + s + "%", p.address);
  Put("%playerscore" + s + "%", IntToStr(p.score));
  Put("%playerping" + s + "%", IntToStr(p.ping));
}

void TExpansion::Skills(const std::string& nick, const char* suffix) {
  const std::string placeholder = std::string("%skills") + suffix + "%";
  if (!ContainsIgnoreCase(text_, placeholder)) return;  // a formula evaluation is costly
  const auto score = info_ ? info_->ScoreFunction() : nullptr;
  if (score && *score) Put(placeholder, (*score)(info_, nick));
}

std::shared_ptr<const THistoryUserEntry> TExpansion::Find(int32_t id, const std::string& nick) const {
  if (!lookup_) return nullptr;
  if (IsPlayerId(id))
    if (auto e = lookup_->FindById(id)) return e;
  return lookup_->FindByNick(nick);
}

void TExpansion::StoredVars(const THistoryUserEntry& entry, std::initializer_list<const char*> prefixes) {
  std::shared_lock lock(entry.lock);
  const std::pair<const char*, const TVarList*> lists[] = {{"%DATA", &entry.persistent},
                                                           {"%TEMPDATA", &entry.visit}};
  for (const auto& [kind, vars] : lists) {
    // Without the prefix in the text no variable of the list can match.
    if (!ContainsIgnoreCase(text_, kind)) continue;
    for (const char* prefix : prefixes) {
      std::string placeholder = std::string(kind) + prefix;
      const size_t stem = placeholder.size();
      vars->ForEach([&](std::string_view name, const TVariant& value) {
        placeholder.resize(stem);
        placeholder += name;
        placeholder += '%';
        // Most stored values are not asked for: look before converting.
        if (ContainsIgnoreCase(text_, placeholder)) Put(placeholder, VariantToPlaceholderText(value));
      });
    }
  }
}

void TExpansion::ListPlayer(int32_t player_id) {
  if (!Uses("%player") && !Uses("%skills%") && !UsesStoredVars()) return;
  TUserList* list = List();
  if (!list) return;
  // Searched in place: the list is our private copy, and copying all its
  // rows again for one player would double the cost of the expansion.
  TUserListEntry p;
  bool found = false;
  list->ForEachRow([&](const TUserListEntry& r) {
    if (!found && r.client_number == player_id) {
      p = r;
      found = true;
    }
  });
  if (!found) return;
  Player(p, "");
  Skills(p.name, "");
  if (!UsesStoredVars()) return;
  if (auto entry = Find(player_id, p.name)) StoredVars(*entry, {""});
}

void TExpansion::HistoryEntry(const THistoryUserEntry& entry) {
  TUserListEntry p;
  {
    std::shared_lock lock(entry.lock);
    p = entry.player;
  }
  Player(p, "");
  Skills(p.name, "");
  if (!UsesStoredVars()) return;
  if (auto stored = Find(kClientNotSet, p.name)) StoredVars(*stored, {""});
}

void TExpansion::Event(const TMohaaEvent& event) {
  Put("%description%", event.text);
  if (!event.log_entry) return;
  const TUserListEntry& first = event.log_entry->first_player;
  if (IsPlayerId(first.client_number)) {
    Player(first, "1");
    Player(first, "");
    Skills(first.name, "");
    Skills(first.name, "1");
    if (UsesStoredVars())
      if (auto entry = Find(first.client_number, first.name)) StoredVars(*entry, {"[1]", ""});
  }
  const TUserListEntry& second = event.log_entry->second_player;
  if (IsPlayerId(second.client_number)) {
    Player(second, "2");
    Skills(second.name, "2");
    if (UsesStoredVars())
      if (auto entry = Find(second.client_number, second.name)) StoredVars(*entry, {"[2]"});
  }
}

}  // namespace

void SetHistoryLookup(TMohaaServerInfo& info, std::shared_ptr<const THistoryLookup> lookup) {
  info.SetHistoryLookup(std::move(lookup));
}

void SetScoreFunction(TMohaaServerInfo& info, TScoreFunction fn) { info.SetScoreFunction(std::move(fn)); }

std::string VariantToPlaceholderText(const TVariant& value) {
  if (value.IsInteger()) return IntToStr(value.RawInt());
  switch (value.Type()) {
    case vtBoolean: return value.AsBool() ? "-1" : "0";
    case vtSingle: return IntToStr(static_cast<int64_t>(std::nearbyint(value.RawFloat())));
    case vtDouble:
    case vtCurrency: return FloatToStr(value.AsDouble());
    case vtDate: return DateTimeToStr(value.RawFloat());
    case vtString:
    case vtOleStr: return value.AsString();
    default: return {};
  }
}

void ReplaceIgnoreCase(std::string& text, std::string_view placeholder, std::string_view value) {
  const std::string upper = Upper(placeholder);
  size_t hit = FindUpper(text, upper, 0);
  if (hit == std::string::npos) return;
  std::string out;
  out.reserve(text.size() + value.size());
  size_t from = 0;
  while (hit != std::string::npos) {
    out.append(text, from, hit - from);
    out.append(value);
    from = hit + upper.size();
    hit = FindUpper(text, upper, from);
  }
  out.append(text, from, std::string::npos);
  text.swap(out);
}

bool ContainsIgnoreCase(std::string_view text, std::string_view what) {
  return FindUpper(text, Upper(what), 0) != std::string_view::npos;
}

std::string ExpandPlaceholders(TMohaaServerInfo* info, const std::string& text, const TReplaceArray& extra,
                               int32_t player_id, const TMohaaEvent* event,
                               const THistoryUserEntry* history) {
  if (info && RconTerminating(*info)) return text;
  std::string result = text;
  try {
    TExpansion x(result, info);
    // Every built-in placeholder has percent signs: without one, only the
    // caller's own substitutions can apply.
    if (x.HasPercent()) {
      x.General();
      x.Traffic();
      if (info) x.ServerSettings();
      x.PlayerList();
      if (IsPlayerId(player_id)) x.ListPlayer(player_id);
      if (history) x.HistoryEntry(*history);
      if (event) x.Event(*event);
    }
    for (const auto& r : extra) ReplaceIgnoreCase(result, r.placeholder, r.value);
  } catch (const std::exception& e) {
    PostGlobal(std::string("TLogEventChecker error on parsing Error:") + e.what(), mlCritical);
  }
  return result;
}

TMessageExpander PlaceholderExpander() {
  return [](TMohaaServerInfo* info, const std::string& text, const TReplaceArray& extra, int32_t player_id,
            const TMohaaEvent* event) {
    return ExpandPlaceholders(info, text, extra, player_id, event, nullptr);
  };
}

void InstallPlaceholderExpander(TMohaaServerInfo& info) { SetMessageExpander(info, PlaceholderExpander()); }

}  // namespace kv
