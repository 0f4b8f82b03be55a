// Placeholder expansion, the cost every kick reason, warning and timed
// message pays: a typical template against a full 32-player list, with and
// without an event and stored statistics, and the cheap path of a text
// without placeholders.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "domain/events.h"
#include "domain/serverinfo.h"
#include "domain/userlist.h"
#include "enforcement/templates.h"
#include "formats/config.h"

namespace {

kv::TUserListEntry Player(int i) {
  kv::TUserListEntry r;
  r.name = "Player_" + std::to_string(i) + std::string(static_cast<size_t>(i % 12), 'x');
  r.address = "10.0.0." + std::to_string(i + 1);
  r.score = i * 3 % 40;
  r.ping = 20 + i * 7 % 300;
  r.client_number = i;
  r.map = "dm/mohdm6";
  return r;
}

// A store of 32 players with `stats` statistics each.
class TBenchHistory : public kv::THistoryLookup {
 public:
  explicit TBenchHistory(int stats) {
    for (int i = 0; i < 32; ++i) {
      auto e = std::make_shared<kv::THistoryUserEntry>();
      e->player = Player(i);
      for (int v = 0; v < stats; ++v) e->persistent.SetValue("Stat" + std::to_string(v), kv::TVariant(v * i));
      e->persistent.SetValue("MapsPlayed", kv::TVariant(i + 1));
      e->visit.SetValue("Kills", kv::TVariant(i));
      entries_.push_back(e);
    }
  }
  int64_t UserCount() const override { return static_cast<int64_t>(entries_.size()); }
  std::shared_ptr<const kv::THistoryUserEntry> FindById(int32_t id) const override {
    return id >= 0 && id < 32 ? entries_[static_cast<size_t>(id)] : nullptr;
  }
  std::shared_ptr<const kv::THistoryUserEntry> FindByNick(const std::string& nick) const override {
    for (const auto& e : entries_)
      if (e->player.name == nick) return e;
    return nullptr;
  }

 private:
  std::vector<std::shared_ptr<kv::THistoryUserEntry>> entries_;
};

class TSetup {
 public:
  TSetup() : config_(nullptr) {
    info.UseConfig(&config_);
    config_.SetString("Servername", "Kelvan Bench");
    auto list = std::make_unique<kv::TUserList>();
    list->map_name = "dm/mohdm6";
    list->server_name = "Bench Server";
    for (int i = 0; i < 32; ++i) list->Add(Player(i));
    info.players.With([&](std::unique_ptr<kv::TUserList>& current) { current = std::move(list); });
    event_.log_entry = std::make_unique<kv::TLogEntry>();
    event_.log_entry->first_player = Player(3);
    event_.log_entry->second_player = Player(17);
    event_.text = "Team Kill";
  }
  ~TSetup() { kv::SetHistoryLookup(info, nullptr); }
  kv::TMohaaServerInfo info;
  kv::TMohaaEvent event_{kv::ekTeamKill};

 private:
  kv::TDynamicConfigData config_;
};

const std::string kKickTemplate =
    "%playernick% (%playerscore% points, ping %playerping%) was kicked for team killing %playernick2% on "
    "%map% - %servername%, %time%";

void BM_ExpandKickMessage32(benchmark::State& state) {
  TSetup setup;
  for (auto _ : state) {
    auto text = kv::ExpandPlaceholders(&setup.info, kKickTemplate, {{"%weapon%", "Kar98"}}, 5, &setup.event_);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_ExpandKickMessage32);

void BM_ExpandWithStatistics32(benchmark::State& state) {
  TSetup setup;
  kv::SetHistoryLookup(setup.info, std::make_shared<TBenchHistory>(static_cast<int>(state.range(0))));
  const std::string tmpl =
      "%playernick1% played %DATA[1]MapsPlayed% maps, %TEMPDATA[1]Kills% kills; " + kKickTemplate;
  for (auto _ : state) {
    auto text = kv::ExpandPlaceholders(&setup.info, tmpl, {}, 5, &setup.event_);
    benchmark::DoNotOptimize(text);
  }
}
// The histories hold 20 or 200 stored variables per player.
BENCHMARK(BM_ExpandWithStatistics32)->Arg(20)->Arg(200);

void BM_ExpandWithoutPlaceholders(benchmark::State& state) {
  TSetup setup;
  const std::string tmpl = "Welcome to our server. Please play fair and have fun.";
  for (auto _ : state) {
    auto text = kv::ExpandPlaceholders(&setup.info, tmpl, {}, 5, &setup.event_);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_ExpandWithoutPlaceholders);

}  // namespace
