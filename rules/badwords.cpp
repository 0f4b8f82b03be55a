// Bad words (found in the chat by the chat watch): a warning for each of
// the first ones of a visit, a kick from BadWordKickCount on, and a ban of
// the nick once the player has been kicked BadWordBanCount times in his
// life. Tracker thread, store lock held; the ban itself is added on the
// checks' worker, as nothing may take the ban-list lock under the store's.
#include "core/bus.h"
#include "enforcement/banlist.h"
#include "gamelink/console.h"
#include "rules/checks.h"
#include "rules/checks_vars.h"

namespace kv {

void TPlayerChecks::OnBadWord(const TMohaaEvent& event) {
  if (!event.log_entry) return;
  const int32_t client = event.log_entry->first_player.client_number;
  const THistoryPtr h = tracker_.GetUser(client, false);
  if (!h) return;
  const TSettingsReader s = runtime_.Settings();
  const int32_t count = AddCounter(h->visit, "BADWORDSCOUNTER", 1);
  if (count < s.Int("BadWordKickCount")) {
    SendConsoleMessage(runtime_.server, s.String("BadWordWarning"), true, false, false, {}, client, &event, 5,
                       1);
  } else {
    AddCounter(h->persistent, "BADWORDSKick", 1);
    kicker_.AddKickThread(client, 1, 0, {}, s.String("BadWordKick"));
  }
  int64_t kicks = 0;
  if (!checks::GetInt(h->persistent, "BADWORDSKick", kicks) || kicks < s.Int("BadWordBanCount")) return;
  const std::string filter = QuotePattern(event.log_entry->first_player.name);
  const std::string message = s.String("BadWordBan");
  const int32_t minutes = s.Int("BadWordBanTime");
  if (!bans_) {
    PostGlobal("TPlayerChecks: no ban list to ban [" + filter + "] for bad words", mlWarning);
    return;
  }
  if (!Post([this, filter, message, minutes] { bans_->AddBan(filter, "", message, minutes); }))
    PostGlobal("TPlayerChecks: too much work queued; the bad-word ban of [" + filter + "] is not added",
               mlCritical);
}

}  // namespace kv
