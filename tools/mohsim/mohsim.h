// mohsim: a simulated game server for tests, benchmarks and demos. It answers
// rcon datagrams on 127.0.0.1 the way the game server does and appends the
// log lines the service follows to a qconsole.log.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace kv::mohsim {

struct TSimClient {
  int num = 0;
  std::string name;
  int score = 0;
  int ping = 50;
  bool connecting = false;  // shown as CNCT in the ping column
  std::string ip = "127.0.0.1";
  int port = 12203;
  int qport = 0;
  int rate = 25000;
  unsigned lastmsg = 0;
  std::string allied_model = "american_army";
  std::string german_model = "german_wehrmacht_soldier";
  // Set for a kicked client's slot: it shows as a nameless ZMBI row until
  // then, and is neither a client nor free before that.
  std::optional<std::chrono::steady_clock::time_point> zombie_until;
};

// The three chat line forms of the game log.
// Says: the open-source server's own wording, "{#N | ADDRESS} NAME says @all: TEXT".
enum class TChatDialect { Normal, Windows, Quake, Says };

// Weapon classes of the kill lines, in the order the service numbers them.
enum class TSimWeapon { Rifle = 1, Sniper, SMG, MG, Rocket, Shotgun, Grenade, Pistol };
std::optional<TSimWeapon> WeaponByName(const std::string& name);  // "rifle", "smg", ...

// One obituary of the game: "VICTIM <phrase> KILLER<suffix>".
struct TKillPhrase {
  const char* phrase;
  const char* suffix;
};
// The game's phrases for a weapon class (one or two).
const std::vector<TKillPhrase>& KillPhrases(TSimWeapon weapon);
// Bullet kills are the ones the game may end with " in the LOCATION".
bool IsBulletWeapon(TSimWeapon weapon);
// The hit locations the game names: "head", "upper torso", ...
const std::vector<std::string>& HitLocations();
bool IsHitLocation(const std::string& location);
// "VICTIM <phrase> KILLER<suffix>[ in the LOCATION]" with the class's
// phrase number `variant` (taken modulo their count); no location when it
// is empty or the weapon fires no bullets.
std::string KillLine(const std::string& killer, const std::string& victim, TSimWeapon weapon,
                     size_t variant = 0, const std::string& location = {});

// Deaths without a killer: by one's own hand or by the world.
enum class TDeathCause { Self, World };
// The game's one-name phrases for a cause: "cratered", "shot himself", ...
const std::vector<std::string>& DeathPhrases(TDeathCause cause);
// "shot himself" and "was shot" are the ones that may name a hit location.
bool DeathTakesLocation(const std::string& phrase);
// "NAME <phrase>[ in the LOCATION]".
std::string DeathLine(const std::string& name, const std::string& phrase, const std::string& location = {});

// A text as the print calls that print it, one per line.
std::vector<std::string> LinePrints(const std::string& text);

// Text bytes the server's reply buffer holds: a datagram goes out when the
// next print call would overflow it.
inline constexpr size_t kReplyBuffer = 8175;
// The words of a console (or script) line as the game splits them: at
// blanks, a double-quoted text being one word without its quotes.
std::vector<std::string> Arguments(const std::string& line);

inline constexpr int kMaxClients = 64;
// How long a kicked client's slot shows ZMBI before it is free again.
inline constexpr std::chrono::milliseconds kZombieTime{2000};
// The colour byte some servers put in front of every death line.
inline constexpr char kDeathColourByte = '\x04';

using TSimClock = std::function<std::chrono::steady_clock::time_point()>;

// The server's rcon rate limit per source address: a burst of 10, then one
// request a second; requests over it get no answer at all.
class TRconRateLimit {
 public:
  bool Allow(uint32_t address, int64_t now_ms);

 private:
  struct TBucket {
    int count = 0;
    int64_t since_ms = 0;
  };
  std::map<uint32_t, TBucket> buckets_;
};

class TMohSim {
 public:
  // An empty password answers every request with the no-password notice.
  explicit TMohSim(std::string password, std::string log_path = {});
  ~TMohSim();
  TMohSim(const TMohSim&) = delete;
  TMohSim& operator=(const TMohSim&) = delete;

  // --- rcon over UDP --------------------------------------------------
  // Binds 127.0.0.1:port (0 = any free port) and answers on a thread of
  // its own until Stop. False with a reason when the port cannot be bound.
  bool Listen(uint16_t port, std::string& error);
  uint16_t Port() const { return port_; }
  void Stop();
  // Test hooks: a muted server reads requests but never answers; a reply
  // may be sent more than once (a duplicate arriving late).
  void SetMuted(bool muted) { muted_ = muted; }
  void SetReplyCopies(int copies) { copies_ = copies; }
  size_t RequestCount() const { return requests_.load(); }
  std::vector<std::string> Commands() const;  // commands received, in order
  // Transport as the server has it: the rate limit (off unless asked for;
  // dropped requests are counted), the reply buffer size, and whether
  // Quake-style requests (without the 0x02 byte) are answered at all.
  void SetRateLimit(bool on) { rate_limited_ = on; }
  size_t DroppedCount() const { return dropped_.load(); }
  void SetReplyBuffer(size_t text_bytes) { reply_buffer_ = text_bytes; }
  void SetQuakeDialect(bool answer) { quake_ = answer; }

  // The datagrams answering one request datagram from `from` (an
  // "IP:port" text); none for what is not a request (the real server
  // ignores stray packets as well). Every request is noted in the log as
  // "Rcon from ADDRESS:" and the command's first word.
  std::vector<std::string> HandleDatagram(const std::string& datagram,
                                          const std::string& from = "127.0.0.1:0");
  // The reply text of one command, without the datagram header.
  std::string Execute(const std::string& command, bool quake_style);
  // The same reply as the server's print calls produce it.
  std::vector<std::string> Prints(const std::string& command, bool quake_style);
  // Print calls into datagrams, each with the full header: a datagram goes
  // out when the next print would overflow the buffer, and at the end (also
  // when nothing was printed). A single print larger than the buffer is cut.
  static std::vector<std::string> ReplyDatagrams(const std::vector<std::string>& prints, bool quake_style,
                                                 size_t buffer = kReplyBuffer);
  // A text printed one line per print call.
  static std::vector<std::string> ReplyDatagrams(const std::string& text, bool quake_style,
                                                 size_t buffer = kReplyBuffer);

  // --- the game -------------------------------------------------------
  // The time the ZMBI rows run on; steady_clock by default. Tests set
  // their own so that a kicked slot can expire without waiting.
  void SetClock(TSimClock clock);

  // Adds a client in the lowest free slot below sv_maxclients; its number,
  // or -1 when full or the name is taken.
  int Join(const std::string& name, const std::string& ip = "127.0.0.1", int ping = 50,
           bool connecting = false);
  bool Leave(const std::string& name);
  // A name change: the client keeps its slot, address, qport and score,
  // only the name the status shows changes. False for an unknown player or
  // a name that is taken or empty.
  bool Rename(const std::string& name, const std::string& new_name);
  bool SetPing(const std::string& name, int ping);
  bool SetConnecting(const std::string& name, bool connecting);
  bool SetScore(const std::string& name, int score);
  bool SetSkins(const std::string& name, const std::string& allied, const std::string& german);
  std::optional<TSimClient> Client(const std::string& name) const;
  std::vector<TSimClient> Clients() const;
  void SetMap(const std::string& map);  // also logs the new round
  std::string Map() const;
  void SetCvar(const std::string& name, const std::string& value);

  // --- log lines ------------------------------------------------------
  void SetChatDialect(TChatDialect d) { dialect_ = d; }
  // Off by default; on, every death line starts with kDeathColourByte.
  void SetDeathColourByte(bool on) { death_colour_ = on; }
  // The class's phrases take turns. While the cvar g_obituarylocation is
  // not 0, bullet kills end with " in the LOCATION": `location`, or one the
  // sim picks when it is empty.
  bool Kill(const std::string& killer, const std::string& victim, TSimWeapon weapon,
            const std::string& location = {});
  // A one-name death line; `phrase` one of DeathPhrases(cause), or empty
  // for the cause's phrases in turn. False for an unknown player or phrase.
  bool Death(const std::string& name, TDeathCause cause, const std::string& phrase = {},
             const std::string& location = {});
  bool Chat(const std::string& name, const std::string& text);
  bool JoinTeam(const std::string& name, const std::string& team);  // "spectator" uses its own form
  bool AutoJoinTeam(const std::string& name);
  bool ChooseWeapon(const std::string& name, const std::string& weapon);
  bool Reload(const std::string& name);
  void LogLine(const std::string& line);

 private:
  void Serve();
  // prints (optional) receives the reply as its print calls.
  std::string Status(std::vector<std::string>* prints = nullptr) const;
  std::string Kick(const std::string& arg);
  std::string DumpUser(const std::string& arg);
  std::string CvarOrUnknown(const std::string& word, const std::string& rest, bool quake_style);
  TSimClient* Find(const std::string& name);  // under mutex_
  TSimClient* FindSlot(int num);              // under mutex_; a client, not a ZMBI slot
  void DropExpiredZombies();                  // under mutex_
  bool Known(const std::string& name) const;
  int CvarInt(const std::string& name, int fallback) const;  // under mutex_
  std::string PickLocation(const std::string& location);     // under mutex_
  void WriteDeath(const std::string& line);

  struct TCvar {
    std::string name;  // as first set: the console echoes it so
    std::string value;
    std::string reset;  // the default the console shows
    bool read_only = false;
  };
  void SetCvarLocked(const std::string& name, const std::string& value);  // under mutex_

  const std::string password_;
  const std::string log_path_;
  std::atomic<TChatDialect> dialect_{TChatDialect::Normal};
  std::atomic<bool> death_colour_{false};

  // Guards clients_, map_, cvars_, commands_, clock_, the phrase turns,
  // random_ and the log file.
  mutable std::mutex mutex_;
  std::vector<TSimClient> clients_;  // ordered by slot number, ZMBI slots included
  std::string map_ = "dm/mohdm6";
  std::map<std::string, TCvar> cvars_;  // lower-case name -> cvar
  std::vector<std::string> commands_;
  TSimClock clock_ = [] { return std::chrono::steady_clock::now(); };
  std::map<int, size_t> turns_;    // weapon class or death cause -> phrases used
  std::map<int, int> slot_joins_;  // slot -> clients that joined into it so far
  std::mt19937 random_{20240521};

  int socket_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> muted_{false};
  std::atomic<int> copies_{1};
  std::atomic<size_t> requests_{0};
  std::atomic<bool> rate_limited_{false};
  std::atomic<size_t> dropped_{0};
  std::atomic<size_t> reply_buffer_{kReplyBuffer};
  std::atomic<bool> quake_{false};
  TRconRateLimit limit_;  // the serving thread's own
};

// Runs a scenario script (one command a line, '#' starts a comment; see
// the operator guide in main.cpp) against the simulator. `sleep` performs
// "wait MS". Returns an empty text, or "line N: reason" at the first bad line.
std::string RunScript(TMohSim& sim, const std::string& script, const std::function<void(int ms)>& sleep);

// A lively random match: players join, kill, chat, change teams, pings
// wander, the map changes now and then. `events` steps, `sleep` between
// them; stops early when `stop` becomes true.
void RandomMatch(TMohSim& sim, int players, int events, uint32_t seed,
                 const std::function<void(int ms)>& sleep, const std::atomic<bool>& stop, int step_ms);

}  // namespace kv::mohsim
