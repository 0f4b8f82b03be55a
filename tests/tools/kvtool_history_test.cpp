#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "players/history_store.h"
#include "tests/support/temp_home.h"
#include "tests/tools/kvtool_run.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// A history directory as the service leaves it: two players, one file that
// is no player file, one index line whose file is gone.
void MakeStore(const fs::path& dir) {
  TManualClock clock;
  {
    THUserList store(dir, clock);
    store.RefreshKnownUsers();
    for (const char* nick : {"Jos\xE9", "Max"}) {
      auto h = std::make_shared<THistoryUserEntry>();
      h->player.name = nick;
      h->player.address = "10.0.0.7";
      h->persistent.SetValue("Kills", TVariant(12));
      store.AddUser(h);
    }
  }  // flushed
  std::ofstream(dir / "index.lst", std::ios::app | std::ios::binary) << "Gone\r\n";
  std::ofstream(dir / "stray", std::ios::binary) << "not a history";
}

TEST(KvtoolHistoryTest, ListsAndDumpsPlayerFiles) {
  testing::TTempHome home;
  const fs::path dir = home / "History";
  MakeStore(dir);

  const TRun list = Kvtool({"history", "list", dir.string()});
  ASSERT_EQ(list.rc, 0) << list.err;
  EXPECT_NE(list.out.find(FileNameOfNick("Jos\xE9") + "\tJos\xC3\xA9\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find(FileNameOfNick("Max") + "\tMax\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("stray\t(damaged: "), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("(missing)\tGone\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("2 player files, 1 damaged, 1 index lines without a file\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(dir / "stray"));  // listing changes nothing

  const TRun dump = Kvtool({"history", "dump", (dir / FileNameOfNick("Max")).string()});
  ASSERT_EQ(dump.rc, 0) << dump.err;
  const json doc = json::parse(dump.out);
  EXPECT_EQ(doc.at("nick"), "Max");
  EXPECT_EQ(doc.at("address"), "10.0.0.7");
  EXPECT_EQ(doc.at("client_number"), -999);
  EXPECT_EQ(doc.at("variables"), json::parse(R"([{"name":"Kills","type":"Smallint","value":12}])"));

  const TRun bad = Kvtool({"history", "dump", (dir / "stray").string()});
  EXPECT_EQ(bad.rc, 1);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err.rfind("kvtool: ", 0), 0u) << bad.err;
}

TEST(KvtoolHistoryTest, ExportsAndImportsAndRefusesADamagedStream) {
  testing::TTempHome home;
  const fs::path dir = home / "History";
  MakeStore(dir);
  const std::string out = (home / "players.bin").string();
  const TRun exp = Kvtool({"history", "export", dir.string(), out});
  ASSERT_EQ(exp.rc, 0) << exp.err;
  EXPECT_EQ(exp.out, "exported 2 players\n");

  const fs::path copy = home / "Copy";
  const TRun imp = Kvtool({"history", "import", out, copy.string()});
  ASSERT_EQ(imp.rc, 0) << imp.err;
  EXPECT_EQ(imp.out, "imported 2 players\n");
  EXPECT_EQ(testing::ReadFileText(copy / "index.lst"), "Jos\xE9\r\nMax\r\n");
  EXPECT_EQ(testing::ReadFileText(copy / FileNameOfNick("Max")),
            testing::ReadFileText(dir / FileNameOfNick("Max")));

  std::string cut = testing::ReadFileText(out);
  cut.resize(cut.size() - 5);
  std::ofstream(out, std::ios::binary | std::ios::trunc) << cut;
  const TRun refused = Kvtool({"history", "import", out, copy.string()});
  EXPECT_EQ(refused.rc, 1);
  EXPECT_EQ(refused.err, "kvtool: Error loading User-History - DATA\n");
  EXPECT_TRUE(fs::exists(copy / FileNameOfNick("Max")));
}

}  // namespace
}  // namespace kv::tool
