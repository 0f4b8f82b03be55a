#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "core/stream.h"
#include "remoteadmin/accounts.h"
#include "tests/support/temp_home.h"
#include "tests/tools/kvtool_run.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

// dump then build gives the file back byte for byte, 8-bit texts included;
// a cut file shows what could be read and fails.
TEST(KvtoolAccounts, DumpAndBuildRoundTripAndDamage) {
  testing::TTempHome dir;
  TMemoryStream file;
  WriteAccountsFile(file,
                    {{"J\xE4ger", "p\xE4ss", "^10\\.", {"Get BanList", "KickUser"}}, {"b", "", "", {}}});
  const auto dat = (dir.Path() / "ServerAccess.dat").string();
  SaveFileAtomic(dat, file.Str().data(), file.Str().size());

  const TRun dump = Kvtool({"accounts", "dump", dat});
  ASSERT_EQ(dump.rc, 0) << dump.err;
  const auto doc = nlohmann::json::parse(dump.out);
  ASSERT_EQ(doc["accounts"].size(), 2u);
  EXPECT_EQ(doc["accounts"][0]["name"], "J\xC3\xA4ger");
  EXPECT_EQ(doc["accounts"][0]["password"], "p\xC3\xA4ss");
  EXPECT_EQ(doc["accounts"][0]["rights"][1], "KickUser");

  const auto json_path = (dir.Path() / "accounts.json").string();
  SaveFileAtomic(json_path, dump.out.data(), dump.out.size());
  const TRun build = Kvtool({"accounts", "build", json_path});
  ASSERT_EQ(build.rc, 0) << build.err;
  EXPECT_EQ(build.out, file.Str());

  const std::string cut = file.Str().substr(0, file.Str().size() - 100);
  SaveFileAtomic(dat, cut.data(), cut.size());
  const TRun damaged = Kvtool({"accounts", "dump", dat});
  EXPECT_EQ(damaged.rc, 1);
  EXPECT_NE(damaged.err.find("Error loading ServerAccess Data (after 1 accounts)"), std::string::npos)
      << damaged.err;
  EXPECT_EQ(nlohmann::json::parse(damaged.out)["accounts"].size(), 1u);
}

}  // namespace
}  // namespace kv::tool
