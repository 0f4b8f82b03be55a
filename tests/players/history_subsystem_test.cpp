#include "players/history_subsystem.h"

#include <gtest/gtest.h>

#include <fstream>

#include "core/bus_scope.h"
#include "tests/support/temp_home.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

std::shared_ptr<THistoryUserEntry> Player(const std::string& nick, int client = kNoPlayer) {
  auto h = std::make_shared<THistoryUserEntry>();
  h->player.name = nick;
  h->player.client_number = client;
  return h;
}

// The store as the service runs it: its data-file hooks, its setting and
// its flush at close.
TEST(HistoryStoreSubsystem, LoadsSavesExportsAndFlushesThroughTheService) {
  testing::TTempHome home;
  std::ofstream(home / "kelvandrome.ini", std::ios::binary) << "[Global]\r\nUserCacheTimeOut=10\r\n";
  TConfigFile file((home / "kelvandrome.ini").string());
  TDynamicConfigData config(&file);
  TManualClock clock;
  TMainLoop loop;
  TDataFileRegistry registry;
  TMohaaServerInfo server;
  TCommandTable commands(loop);
  TRuntime runtime{home.Path(), clock, loop, config, registry, server, commands};
  TBusScope bus;

  const fs::path dir = home / "Data" / "History";
  {
    THistoryStoreSubsystem sub(runtime);
    sub.RegisterDataFiles(registry);
    TSettings settings(config, home.Path());
    sub.ApplySettings(settings);
    EXPECT_TRUE(fs::is_directory(dir));
    registry.Load(TDataFileId::History, home.Path());  // the start-up load

    sub.Store().AddUser(Player("Short"));
    clock.Advance(11'000);  // UserCacheTimeOut=10 from the INI
    sub.Store().PurgeCache();
    EXPECT_EQ(sub.Store().CachedCount(), 0);

    sub.Store().AddUser(Player("Online", 2));
    registry.Save(TDataFileId::History, home.Path());  // the periodic save
    EXPECT_TRUE(fs::exists(dir / FileNameOfNick("Online")));
    EXPECT_EQ(testing::ReadFileText(dir / "index.lst"), "Online\r\nShort\r\n");
    EXPECT_EQ(sub.Store().CachedCount(), 1);

    // The setup export carries the export stream.
    TMemoryStream section;
    ASSERT_TRUE(registry.ExportSection(5, section));
    section.Seek(0);
    EXPECT_EQ(ReadExportStream(section, {}), 2);

    fs::remove(dir / "index.lst");
    registry.Load(TDataFileId::History, home.Path());
    EXPECT_EQ(sub.Store().KnownCount(), 2u);

    sub.Store().AddUser(Player("Late"));
    sub.Close();
    EXPECT_EQ(sub.Store().CachedCount(), 0);
    EXPECT_TRUE(fs::exists(dir / FileNameOfNick("Late")));
  }
  EXPECT_FALSE(registry.IsRegistered(TDataFileId::History));
}

}  // namespace
}  // namespace kv
