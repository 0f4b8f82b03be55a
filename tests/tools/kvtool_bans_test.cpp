#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/stream.h"
#include "enforcement/banlist.h"
#include "tests/support/temp_home.h"
#include "tests/tools/kvtool_run.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

std::string FileBytes(const std::vector<TBanListEntry>& bans) {
  TMemoryStream s;
  WriteBanListFile(s, bans);
  return s.Str();
}

// dump then build gives the file back byte for byte, 8-bit texts and odd
// ends included.
TEST(KvtoolBans, DumpAndBuildRoundTrip) {
  testing::TTempHome dir;
  TBanListEntry nick;
  nick.nick_filter = "^J\xE4ger\x81";
  nick.end = 45000.25;
  nick.message = "%playernick% \"out\"";
  TBanListEntry id;
  id.ac_id = "AC1";
  id.end = NAN;
  const std::string bytes = FileBytes({nick, id});
  const auto dat = (dir.Path() / "BanList.dat").string();
  SaveFileAtomic(dat, bytes.data(), bytes.size());

  const TRun dump = Kvtool({"bans", "dump", dat});
  ASSERT_EQ(dump.rc, 0) << dump.err;
  const auto doc = nlohmann::json::parse(dump.out);
  ASSERT_EQ(doc["bans"].size(), 2u);
  EXPECT_EQ(doc["bans"][0]["nick_filter"], "^J\xC3\xA4ger\xC2\x81");
  EXPECT_EQ(doc["bans"][0]["text"], "15.03.2023 06:00:00");
  EXPECT_EQ(doc["bans"][1]["end"], "NaN");

  const auto json_path = (dir.Path() / "bans.json").string();
  SaveFileAtomic(json_path, dump.out.data(), dump.out.size());
  const TRun build = Kvtool({"bans", "build", json_path});
  ASSERT_EQ(build.rc, 0) << build.err;
  EXPECT_EQ(build.out, bytes);
}

TEST(KvtoolBans, DamagedFileShowsWhatItHoldsAndFails) {
  testing::TTempHome dir;
  TBanListEntry nick;
  nick.nick_filter = "Bad";
  std::string bytes = FileBytes({nick});
  bytes[0] = 5;  // announces five bans
  const auto dat = (dir.Path() / "BanList.dat").string();
  SaveFileAtomic(dat, bytes.data(), bytes.size());
  const TRun dump = Kvtool({"bans", "dump", dat});
  EXPECT_EQ(dump.rc, 1);
  EXPECT_EQ(nlohmann::json::parse(dump.out)["bans"].size(), 1u);
  EXPECT_NE(dump.err.find("Error loading Ban Data (after 1 bans)"), std::string::npos) << dump.err;

  const auto json_path = (dir.Path() / "bad.json").string();
  SaveFileAtomic(json_path, "{\"bans\": 3}", 11);
  EXPECT_EQ(Kvtool({"bans", "build", json_path}).rc, 1);
  EXPECT_EQ(Kvtool({"bans"}).rc, 1);
}

}  // namespace
}  // namespace kv::tool
