#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "automation/event_message_file.h"
#include "automation/weapon_watch_file.h"
#include "core/stream.h"
#include "domain/domain.h"
#include "tests/support/temp_home.h"
#include "tests/tools/kvtool_run.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

// dump then build gives the file back byte for byte (8-bit texts, every
// field set); a damaged file shows what it holds and fails; a kind that
// does not fit a byte is refused, not wrapped.
TEST(KvtoolEventMessages, DumpBuildAndTheirErrors) {
  testing::TTempHome dir;
  TMohaaMessage greet;
  greet.kind = ekNewUser;
  greet.text = "Gr\xFC\xDF Gott %playernick%";
  greet.delay = -5;
  greet.only_if_online = true;
  greet.player1_exclusion = "^Bot";
  TMohaaMessage kill;
  kill.kind = ekKill;
  kill.text = "x";
  kill.expand_when_sent = true;
  kill.player1_filter = "a", kill.player2_filter = "b", kill.time_filter = "c", kill.description_filter = "d";
  kill.weapon_filter = "e", kill.player2_exclusion = "f", kill.time_exclusion = "g";
  kill.description_exclusion = "h", kill.weapon_exclusion = "\x81";
  TMemoryStream file;
  WriteEventMessagesFile(file, {greet, kill});
  const std::string bytes = file.Str();
  const auto dat = (dir.Path() / "EventMessages.dat").string();
  SaveFileAtomic(dat, bytes.data(), bytes.size());

  const TRun dump = Kvtool({"eventmessages", "dump", dat});
  ASSERT_EQ(dump.rc, 0) << dump.err;
  const auto doc = nlohmann::json::parse(dump.out);
  ASSERT_EQ(doc["messages"].size(), 2u);
  EXPECT_EQ(doc["messages"][0]["kind_name"], "NewUser");
  EXPECT_EQ(doc["messages"][0]["text"], "Gr\xC3\xBC\xC3\x9F Gott %playernick%");
  const auto json_path = (dir.Path() / "m.json").string();
  SaveFileAtomic(json_path, dump.out.data(), dump.out.size());
  const TRun build = Kvtool({"eventmessages", "build", json_path});
  ASSERT_EQ(build.rc, 0) << build.err;
  EXPECT_EQ(build.out, bytes);

  const std::string cut = bytes.substr(0, bytes.size() - 2);
  SaveFileAtomic(dat, cut.data(), cut.size());
  const TRun damaged = Kvtool({"eventmessages", "dump", dat});
  EXPECT_EQ(damaged.rc, 1);
  EXPECT_EQ(nlohmann::json::parse(damaged.out)["messages"].size(), 1u);
  EXPECT_NE(damaged.err.find("Error loading Event Messages"), std::string::npos) << damaged.err;

  const std::string wide = R"({"messages": [{"kind": 300, "text": "x"}]})";
  SaveFileAtomic(json_path, wide.data(), wide.size());
  const TRun refused = Kvtool({"eventmessages", "build", json_path});
  EXPECT_EQ(refused.rc, 1);
  EXPECT_NE(refused.err.find("message 1: kind out of range"), std::string::npos) << refused.err;
}

TEST(KvtoolWeaponBans, DumpAndBuildRoundTrip) {
  testing::TTempHome dir;
  TWeaponWatchDef sniper;
  sniper.weapon_class = wcSniper;
  sniper.ban_minutes = -1;
  sniper.ban_address = true;
  sniper.warn = false;
  sniper.kick_message = "weg \xE4";
  TMemoryStream file;
  WriteWeaponWatchFile(file, {TWeaponWatchDef{}, sniper});
  const std::string bytes = file.Str();
  const auto dat = (dir.Path() / "WeaponsBan.dat").string();
  SaveFileAtomic(dat, bytes.data(), bytes.size());
  const TRun dump = Kvtool({"weaponbans", "dump", dat});
  ASSERT_EQ(dump.rc, 0) << dump.err;
  EXPECT_EQ(nlohmann::json::parse(dump.out)["watches"][1]["weapon_class_name"], "Sniper");
  const auto json_path = (dir.Path() / "w.json").string();
  SaveFileAtomic(json_path, dump.out.data(), dump.out.size());
  const TRun build = Kvtool({"weaponbans", "build", json_path});
  ASSERT_EQ(build.rc, 0) << build.err;
  EXPECT_EQ(build.out, bytes);
  EXPECT_EQ(Kvtool({"weaponbans", "list"}).rc, 1);
}

}  // namespace
}  // namespace kv::tool
