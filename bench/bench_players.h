// What the tracker benchmarks share: a history store of many known players
// written straight into a directory, the nicks and rows of the simulated
// players, and the process's memory figures.
#pragma once

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "domain/events.h"
#include "domain/userlist.h"
#include "players/history_record.h"
#include "players/history_store.h"
#include "players/tracker.h"
#include "tests/support/wait.h"

namespace kv::bench {

inline constexpr int kKnownPlayers = 100'000;

inline std::string Nick(int i) { return "Player" + std::to_string(i); }

// Writes `count` player files, each history made by fill(i, history), and
// their index.lst straight into `dir`, as the store leaves them after a
// restart. Plain writes: an atomic save with its two flushes per file would
// make the set-up take minutes on a busy disk, and the store reads the
// files the same way either way.
template <typename TFill>
void WritePlayerFiles(const std::filesystem::path& dir, int count, TFill fill) {
  std::filesystem::create_directories(dir);
  std::ofstream index(dir / kHistoryIndexFile, std::ios::binary);
  std::string bytes;
  for (int i = 0; i < count; ++i) {
    THistoryUserEntry h;
    fill(i, h);
    bytes = EncodePlayerFile(h);
    std::ofstream(dir / FileNameOfNick(h.player.name), std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    index << h.player.name << "\r\n";
  }
  index.close();
  // The set-up's files reach the disk before anything is timed: their
  // write-back would otherwise run during the measurement and take the
  // processor and the disk from the store's own saves.
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::syncfs(fd);
    ::close(fd);
  }
}

// The tracker benchmarks' known players: a nick, an address, two statistics.
inline void WriteKnownPlayers(const std::filesystem::path& dir, int count = kKnownPlayers) {
  WritePlayerFiles(dir, count, [](int i, THistoryUserEntry& h) {
    h.player.name = Nick(i);
    h.player.address = "10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
                       std::to_string(i % 256);
    h.persistent.SetValue("FIRSTSEEN", TVariant::Date(45000.0));
    h.persistent.SetValue("MapsPlayed", TVariant(int32_t{i % 50}));
  });
}

// A status row of one of the simulated players in a slot of the server.
inline TUserListEntry PlayerRow(int slot, int player) {
  TUserListEntry r;
  r.client_number = slot;
  r.name = Nick(player);
  r.address = "10.9." + std::to_string(player / 256 % 256) + "." + std::to_string(player % 256);
  r.qport = 1000 + player % 60000;
  r.ping = 40 + slot;
  r.rate = 25000;
  r.map = "dm/mohdm6";
  return r;
}

// A line of /proc/self/status in MiB: "VmHWM:" the resident peak, "VmRSS:"
// the resident size now.
inline double StatusMiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string name = field;
  while (std::getline(in, line))
    if (line.rfind(name, 0) == 0) return std::stod(line.substr(name.size())) / 1024.0;
  return 0;
}

// What the rules did, summed over the histories still cached: the
// counters team_kills, spawn_kills, kills.
inline void CountRuleOutcomes(THUserList& store, benchmark::State& state) {
  int64_t team_kills = 0, spawn_kills = 0, kills = 0;
  {
    TRecursiveLockGuard lock(store.StoreLock());
    for (int i = 0, n = store.CachedCount(); i < n; ++i)
      if (auto h = store.CachedAt(i)) {
        TVariant v;
        if (h->persistent.TryGetValue("TeamKills", v)) team_kills += v.AsInteger();
        if (h->persistent.TryGetValue("Spawnkills", v)) spawn_kills += v.AsInteger();
        if (h->persistent.TryGetValue("hasKilled", v)) kills += v.AsInteger();
      }
  }
  state.counters["team_kills"] = static_cast<double>(team_kills);
  state.counters["spawn_kills"] = static_cast<double>(spawn_kills);
  state.counters["kills"] = static_cast<double>(kills);
}

// A map change makes the tracker ask the game type: a team game, so the
// score-column teams and the team-kill check are on. False when the tracker
// did not learn it within 10 s.
inline bool StartTeamGame(THistoryUserList& tracker) {
  PostEvent(std::make_shared<TMohaaEvent>(ekMapChange, "dm/mohdm6"));
  return testing::WaitFor([&] { return tracker.Settle(1000) && tracker.TeamGame(); }, 10000);
}

}  // namespace kv::bench
