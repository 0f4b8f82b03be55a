// A game log burst as a busy server writes it (kills in the game's own
// phrases, chat, team and weapon commands, map loads; CR LF and LF line
// ends), and a rig that runs the kelvandrome binary with every journal on
// against a simulated game server, appends a burst to the followed log and
// waits until the journals hold all of it. Shared by the end-to-end test and
// the end-to-end benchmark.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/service_process.h"
#include "tests/support/sim_home.h"
#include "tests/support/temp_home.h"
#include "tests/support/wait.h"

namespace kv::testing {

// Names as players pick them; none occurs inside a phrase or another name.
inline const std::vector<std::string> kBurstPlayers = {
    "Alice", "Bob", "Carl", "Dave", "[SS]Erwin", "Fritz", "Greta", "Hans", "Ivan", "Jules", "Kurt", "Lotte"};

// Weapon expressions that sort the phrases below into their classes.
inline const char* const kBurstWeaponSettings =
    "WeaponRegExprSniper=was sniped by\r\n"
    "WeaponRegExprRifle=was rifled by\r\n"
    "WeaponRegExprSub Machinegun=SMG\r\n"
    "WeaponRegExprMachine Gun=was machine-gunned by\r\n"
    "WeaponRegExprPistol=was gunned down by\r\n"
    "WeaponRegExprRocket=rocket\r\n"
    "WeaponRegExprShotgun=was hunted down by|buckshot\r\n"
    "WeaponRegExprGrenade=grenade|shrapnel out of his teeth\r\n"
    "WeaponRegExprunknown=.*\r\n";

// The journals that can be switched on.
inline const char* const kBurstJournalSwitches[] = {"LogGlobalMessages",
                                                    "LogChat",
                                                    "LogKicks",
                                                    "LogKills",
                                                    "LogGlobalMapChange",
                                                    "LogUserMapChange",
                                                    "LogNewBans",
                                                    "LogBanDeleted",
                                                    "LogBanMatch",
                                                    "LogGeneration",
                                                    "LogSSH",
                                                    "LogRcon",
                                                    "LogAllOtherEvents",
                                                    "LogServiceEvents",
                                                    "LogRemoteCommands",
                                                    "LogNewUser",
                                                    "LogUserBack",
                                                    "LogWenfOffline",
                                                    "LogNickChange",
                                                    "LogMessagesSendToServer",
                                                    "LogRemoteConnection",
                                                    "LogACCommand",
                                                    "LogACConnected",
                                                    "LogACDisconnected",
                                                    "LogACUserRconLog",
                                                    "LogACReport",
                                                    "LogACCheckACUser",
                                                    "LogACClientKick"};

struct TLogBurst {
  std::string text;          // what is appended to the log
  size_t lines = 0;          // raw lines in it
  size_t kills = 0;          // kill lines among them
  size_t raw_bytes = 0;      // Debug_SSH.txt bytes they make (line + CR LF each)
  std::string kill_journal;  // what they add to Kills.txt
  std::string chat_journal;  // what they add to User_Chat.txt
};

// About `bytes` of log text; the same seed gives the same text.
inline TLogBurst MakeLogBurst(size_t bytes, uint32_t seed = 1) {
  struct TPhrase {
    const char* before;  // between victim and killer
    const char* after;   // after the killer
    const char* weapon;  // class name in Kills.txt
    bool located;        // a bullet kill: may end in " in the LOCATION"
  };
  static const TPhrase kPhrases[] = {
      {" was sniped by ", "", "Sniper", true},
      {" was rifled by ", "", "Rifle", true},
      {" was perforated by ", "'s SMG", "Sub Machinegun", true},
      {" was machine-gunned by ", "", "Machine Gun", true},
      {" was gunned down by ", "", "Pistol", true},
      {" took ", "'s rocket right in the kisser", "Rocket", false},
      {" took ", "'s rocket in the face", "Rocket", false},
      {" was hunted down by ", "", "Shotgun", false},
      {" was pumped full of buckshot by ", "", "Shotgun", false},
      {" tripped on ", "'s grenade", "Grenade", false},
      {" is picking ", "'s shrapnel out of his teeth", "Grenade", false},
      {" was bashed by ", "", "unknown", false},
  };
  static const char* const kLocations[] = {"head",         "helmet",         "neck",       "upper torso",
                                           "middle torso", "lower torso",    "pelvis",     "upper right arm",
                                           "left hand",    "lower left leg", "right foot", "upper left leg"};
  static const char* const kLoners[] = {
      " cratered", " blew himself up",     " was burned to a crisp", " tripped on his own grenade",
      " died",     " was shot in the neck"};
  static const char* const kChats[] = {
      "gg",     "nice shot", "who is camping the bridge again",
      "rush b", "lag!!",     "axis stack the left side, allies hold the church"};
  static const char* const kTeams[] = {"allies", "axis"};
  static const char* const kWeapons[] = {"rifle", "sniper", "smg", "mg", "heavy", "shotgun"};

  TLogBurst b;
  b.text.reserve(bytes + 256);
  std::mt19937 rng(seed);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  auto player = [&] { return kBurstPlayers[pick(kBurstPlayers.size())]; };
  auto add = [&](const std::string& line) {
    b.text += line;
    b.text += pick(3) == 0 ? "\n" : "\r\n";  // servers write either
    ++b.lines;
    b.raw_bytes += line.size() + 2;
  };
  auto kill = [&](const TPhrase& p, const std::string& victim, const std::string& killer) {
    std::string line = victim + p.before + killer + p.after;
    if (p.located && pick(2) == 0) line += std::string(" in the ") + kLocations[pick(std::size(kLocations))];
    add(line);
    ++b.kills;
    b.kill_journal += killer + " killed " + victim + " with " + p.weapon + "\r\n";
  };
  while (b.text.size() < bytes) {
    const size_t r = pick(100);
    if (r < 70) {
      const std::string victim = player();
      std::string killer;
      do killer = player();
      while (killer == victim);
      kill(kPhrases[pick(std::size(kPhrases))], victim, killer);
    } else if (r < 80) {
      const std::string who = player(), said = kChats[pick(std::size(kChats))];
      add("CHAT: " + who + ": " + said);
      b.chat_journal += who + ": " + said + "\r\n";
    } else if (r < 86) {
      add(player() + kLoners[pick(std::size(kLoners))]);
    } else if (r < 90) {
      add("clientCommand: " + player() + " : join_team " + kTeams[pick(2)]);
    } else if (r < 94) {
      add("clientCommand: " + player() + " : primarydmweapon " + kWeapons[pick(std::size(kWeapons))]);
    } else if (r < 97) {
      add("clientCommand: " + player() + " : reload");
    } else if (r < 98) {
      add("Server: dm/mohdm6");
      add("Adding script: 'maps/dm/mohdm6_precache.scr'");
      add("Adding script: 'maps/dm/mohdm6.scr'");
    } else {
      add("broadcast: print \"" + player() + " disconnected\\n\"");
    }
  }
  // The last line is a kill, so the last journal line written is a kill.
  kill(kPhrases[0], kBurstPlayers[0], kBurstPlayers[1]);
  return b;
}

inline int64_t FileSize(const std::filesystem::path& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 ? st.st_size : 0;
}

// Counts the lines of a journal that contain `needle`.
inline size_t CountLines(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at += needle.size()) ++n;
  return n;
}

// kelvandrome in a fresh home with every journal on, following the log of
// a simulated game server whose players the service knows from its poll.
class TBurstRig {
 public:
  explicit TBurstRig(const std::string& tag) : server_("secret", tag), log_(server_.Log()) {}
  // The service ends before the server and its home go.
  ~TBurstRig() { service_.reset(); }

  // Starts everything; an empty text, or what went wrong.
  std::string Start(int timeout_ms = 20000) {
    if (!server_.Started()) return server_.Error();
    for (const auto& name : kBurstPlayers) server_.Sim().Join(name);
    std::string settings = "LocalLogFile=" + log_.string() +
                           "\r\nStartOnStartup=1\r\nUserRefrestTimer=1\r\n" + kBurstWeaponSettings;
    for (const char* s : kBurstJournalSwitches) settings += std::string(s) + "=1\r\n";
    server_.WriteIni(settings);
    service_ = std::make_unique<TServiceProcess>();
    if (!service_->Start(server_.Home().string())) return "cannot start kelvandrome";
    // Every name has reached the player list once the poll's reply shows it.
    const bool all = WaitFor(
        [&] {
          const std::string rcon = ReadFileText(Journal("Debug_Rcon.txt"));
          for (const auto& name : kBurstPlayers)
            if (rcon.find(name) == std::string::npos) return false;
          return true;
        },
        timeout_ms);
    if (!all) return "the players never reached the service's player list";
    // The list the reply made becomes current right after it is journaled.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return {};
  }

  // Appends the text to the log with one write, as a flushing server does.
  bool Append(const std::string& text) {
    const int fd = ::open(log_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ::close(fd);
    return done == text.size();
  }

  // Waits until the journal has at least `bytes` bytes; false after timeout_ms.
  bool WaitForJournalSize(const std::string& name, int64_t bytes, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (FileSize(Journal(name)) < bytes) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  // Kilobytes from /proc/PID/status ("VmHWM", "VmRSS"); -1 when unknown.
  int64_t MemoryKb(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(service_->Pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind(field + ":", 0) == 0) return std::stoll(line.substr(field.size() + 1));
    }
    return -1;
  }

  // CPU time the service has used so far (user and system), in seconds.
  double CpuSeconds() const {
    std::ifstream stat("/proc/" + std::to_string(service_->Pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
      if (i >= 14) ticks += std::stod(field);  // utime, stime
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

  std::filesystem::path Journal(const std::string& name) const { return server_.Home() / "Logs" / name; }
  TServiceProcess& Service() { return *service_; }

 private:
  TSimHome server_;
  std::filesystem::path log_;
  std::unique_ptr<TServiceProcess> service_;
};

}  // namespace kv::testing
