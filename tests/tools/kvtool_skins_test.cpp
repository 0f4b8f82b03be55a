#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "core/stream.h"
#include "tests/support/temp_home.h"
#include "tests/tools/kvtool_run.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

std::string Save(const testing::TTempHome& dir, const std::string& name, const std::string& bytes) {
  const auto path = (dir.Path() / name).string();
  SaveFileAtomic(path, bytes.data(), bytes.size());
  return path;
}

// The service's own file comes back byte for byte, 8-bit names included.
TEST(KvtoolSkins, DumpAndBuildRoundTripTheServicesForm) {
  testing::TTempHome dir;
  const std::string bytes = "allied_airborne\r\nJ\xE4ger skin\r\n";
  const TRun dump = Kvtool({"skins", "dump", Save(dir, "SkinList.dat", bytes)});
  ASSERT_EQ(dump.rc, 0) << dump.err;
  const auto doc = nlohmann::json::parse(dump.out);
  EXPECT_EQ(doc["skins"], nlohmann::json::array({"allied_airborne", "J\xC3\xA4ger skin"}));
  EXPECT_EQ(doc["canonical"], true);
  const TRun build = Kvtool({"skins", "build", Save(dir, "skins.json", dump.out)});
  ASSERT_EQ(build.rc, 0) << build.err;
  EXPECT_EQ(build.out, bytes);
}

TEST(KvtoolSkins, OtherFormsDamageAndBadJsonAreSaidClearly) {
  testing::TTempHome dir;
  const TRun lf = Kvtool({"skins", "dump", Save(dir, "lf.dat", "a\n\n b\n")});
  ASSERT_EQ(lf.rc, 0) << lf.err;
  EXPECT_EQ(nlohmann::json::parse(lf.out)["canonical"], false);
  EXPECT_EQ(nlohmann::json::parse(lf.out)["skins"], nlohmann::json::array({"a", "b"}));

  const TRun damaged = Kvtool({"skins", "dump", Save(dir, "bad.dat", "a\r\nb\x01\r\nc\r\n")});
  EXPECT_NE(damaged.rc, 0);
  EXPECT_EQ(nlohmann::json::parse(damaged.out)["skins"], nlohmann::json::array({"a"}));
  EXPECT_NE(damaged.err.find("line 2 is no skin name (control characters) (after 1 skins)"),
            std::string::npos)
      << damaged.err;

  for (const char* doc : {"{\"skins\": [\" padded\"]}", "{\"skins\": [\"\"]}", "{\"skin\": []}", "[1"}) {
    const TRun r = Kvtool({"skins", "build", Save(dir, "x.json", doc)});
    EXPECT_NE(r.rc, 0) << doc;
    EXPECT_TRUE(r.out.empty()) << doc;
    EXPECT_FALSE(r.err.empty()) << doc;
  }
}

}  // namespace
}  // namespace kv::tool
