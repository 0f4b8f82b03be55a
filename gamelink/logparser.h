// The game-log line parser: recognises kills, chat, team joins, weapon
// choices, reloads, score requests, automatic team joins and new rounds in
// one log line, names the players in it from the current player list and
// publishes one typed event per recognised line.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "domain/events.h"
#include "domain/serverinfo.h"
#include "gamelink/logparser_names.h"

namespace kv {

// Sorts the weapon text of a kill into a weapon class 0..8. The service wires
// the operator's classifier in; the parser only knows this signature.
using TWeaponClassifyFn = std::function<int(std::string_view weapon_text)>;

// The rest of a line after the prefixes that newer game-server builds put in
// front of it: a time stamp "[2026-12-10 02:20:01 UTC+0.000] " and then a
// player context "{#1 | 10.0.0.7:12203} ", and after the control bytes the
// game starts some lines with (the HUD colour: 0x04 on deaths, 0x02/0x03 on
// notices). Lines without them are returned whole.
std::string_view StripLinePrefixes(std::string_view line);

// Game console text (log text, rcon replies) as the system holds it. The
// game writes a player's name with the same bytes to its log and to its
// "status" reply, so both paths pass through here alike: unchanged unless
// the operator set `ConsoleCodePage` to 437 for a server that writes its
// console in that code page. Any thread.
std::string FromConsoleCodePage(const TSettingsReader& settings, std::string_view text);

// Base of the parsers: the time of the last line and the rcon dialect.
class TLogEventChecker {
 public:
  // Reads `QuakeRCON` once through the service's store (without one, its
  // default: off).
  explicit TLogEventChecker(const TSettingsReader& settings = {});
  virtual ~TLogEventChecker() = default;
  TLogEventChecker(const TLogEventChecker&) = delete;
  TLogEventChecker& operator=(const TLogEventChecker&) = delete;

  // Parses one line and publishes what it finds. Called by one thread at a
  // time (the line queue's thread or an rcon request's thread).
  virtual void CheckLogForEvents(const TMohaaServerInfo* server, const std::string& line) = 0;

  double LastCheckTime() const { return last_check_time_.load(std::memory_order_relaxed); }
  bool QuakeDialect() const { return quake_; }
  void SetQuakeDialect(bool on) { quake_ = on; }

 protected:
  std::atomic<double> last_check_time_;
  bool quake_ = false;
};

class TServerLogEventChecker : public TLogEventChecker {
 public:
  explicit TServerLogEventChecker(TWeaponClassifyFn classify = {}, const TSettingsReader& settings = {});

  // Posts the typed event of the line under "EVENT" + its kind's name; an
  // error is posted as "TAntiCheatLogEventChecker error on
  // CheckLogForEvents:..." at level 5 and the line is dropped.
  void CheckLogForEvents(const TMohaaServerInfo* server, const std::string& line) override;

  // The typed event the line gives (with its log entry), or nullptr when the
  // line names no known player, matches no rule or there is no current player
  // list yet. Posts nothing; throws what the rules throw.
  std::shared_ptr<TMohaaEvent> Recognise(const TMohaaServerInfo* server, const std::string& line);

 private:
  TWeaponClassifyFn classify_;
  TPlayerNames names_;  // touched only by the parsing thread
};

}  // namespace kv
