#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "core/stream.h"
#include "serverconfig/configlist.h"
#include "tests/support/temp_home.h"
#include "tests/tools/kvtool_run.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

std::string Write(const std::filesystem::path& path, const std::string& bytes) {
  SaveFileAtomic(path.string(), bytes.data(), bytes.size());
  return path.string();
}

// dump then build gives the file back byte for byte, 8-bit texts and every
// kind of value included; a damaged file shows what is readable and fails.
TEST(KvtoolConfigs, DumpAndBuildRoundTrip) {
  testing::TTempHome dir;
  TVarList war, pub;
  war.SetValue("Name", TVariant(std::string("J\xE4gerkrieg")));
  war.SetValue("maxping", TVariant(int32_t{150}));
  war.SetValue("ff", TVariant(true));
  war.SetValue("commands", TVariant(std::string("restart=30,\"say \"\"hi\"\"\"")));
  war.SetValue("configdelay", TVariant::Smallint(5));
  pub.SetValue("Name", TVariant(std::string("Public")));
  TMemoryStream file;
  WriteConfigurationsFile(file, {war, pub});
  const std::string dat = Write(dir.Path() / "Configurations.dat", file.Str());

  const TRun dump = Kvtool({"configs", "dump", dat});
  ASSERT_EQ(dump.rc, 0) << dump.err;
  const auto doc = nlohmann::json::parse(dump.out);
  ASSERT_EQ(doc["configurations"].size(), 2u);
  EXPECT_EQ(doc["configurations"][0]["name"], "J\xC3\xA4gerkrieg");
  EXPECT_EQ(doc["configurations"][1]["name"], "Public");

  const TRun build = Kvtool({"configs", "build", Write(dir.Path() / "c.json", dump.out)});
  ASSERT_EQ(build.rc, 0) << build.err;
  EXPECT_EQ(build.out, file.Str());

  const std::string cut = file.Str().substr(0, file.Str().size() - 4);
  const TRun damaged = Kvtool({"configs", "dump", Write(dir.Path() / "cut.dat", cut)});
  EXPECT_EQ(damaged.rc, 1);
  EXPECT_EQ(nlohmann::json::parse(damaged.out)["configurations"].size(), 1u);
  EXPECT_NE(damaged.err.find("Error loading Mohaa Config (after 1 configurations)"), std::string::npos)
      << damaged.err;

  const TRun bad = Kvtool({"configs", "build", Write(dir.Path() / "bad.json", "{\"configurations\": 3}")});
  EXPECT_EQ(bad.rc, 1);
  EXPECT_NE(bad.err.find("bad configurations JSON"), std::string::npos) << bad.err;
}

}  // namespace
}  // namespace kv::tool
