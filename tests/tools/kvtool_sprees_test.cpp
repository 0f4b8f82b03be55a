#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "core/stream.h"
#include "rules/sprees_file.h"
#include "tests/support/temp_home.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

struct TRun {
  int rc;
  std::string out, err;
};

TRun Kvtool(const TArgs& args) {
  std::istringstream in;
  std::ostringstream out, err;
  const int rc = RunKvtool(args, {in, out, err});
  return {rc, out.str(), err.str()};
}

std::string Save(const testing::TTempHome& dir, const std::string& name, const std::string& bytes) {
  const auto path = (dir.Path() / name).string();
  SaveFileAtomic(path, bytes.data(), bytes.size());
  return path;
}

// dump then build gives the file back byte for byte, 8-bit texts and lines
// without "=" included; a new entry may be written as its two messages.
TEST(KvtoolSprees, DumpAndBuildRoundTrip) {
  testing::TTempHome dir;
  TSpreeLists lists;
  lists.killing = {{3, "%playernick% ist nicht zu st\xF6ppen=%playernick% wurde gestoppt"}, {7, "no end"}};
  lists.losing = {{-2, "=only an end"}};
  TMemoryStream file;
  WriteSpreesFile(file, lists);
  const TRun dump = Kvtool({"sprees", "dump", Save(dir, "KillingSpring.dat", file.Str())});
  ASSERT_EQ(dump.rc, 0) << dump.err;
  auto doc = nlohmann::json::parse(dump.out);
  ASSERT_EQ(doc["killing"].size(), 2u);
  EXPECT_EQ(doc["killing"][0]["count"], 3);
  EXPECT_EQ(doc["killing"][0]["start"], "%playernick% ist nicht zu st\xC3\xB6ppen");
  EXPECT_EQ(doc["killing"][1]["end"], "");
  EXPECT_EQ(doc["losing"][0]["count"], -2);

  const TRun build = Kvtool({"sprees", "build", Save(dir, "sprees.json", dump.out)});
  ASSERT_EQ(build.rc, 0) << build.err;
  EXPECT_EQ(build.out, file.Str());

  doc["losing"].push_back({{"count", 4}, {"start", "%playernick% again"}, {"end", "back"}});
  const TRun added = Kvtool({"sprees", "build", Save(dir, "added.json", doc.dump())});
  ASSERT_EQ(added.rc, 0) << added.err;
  TMemoryStream in(added.out);
  TSpreeLists read;
  ReadSpreesFile(in, read);
  ASSERT_EQ(read.losing.size(), 2u);
  EXPECT_EQ(read.losing[1].line, "%playernick% again=back");
  EXPECT_EQ(read.losing[1].count, 4);
}

TEST(KvtoolSprees, DamagedFileShowsWhatItHoldsAndFails) {
  testing::TTempHome dir;
  TSpreeLists lists;
  lists.killing = {{3, "three=over"}};
  TMemoryStream file;
  WriteSpreesFile(file, lists);
  const std::string cut = file.Str().substr(0, file.Str().size() - 3);
  const TRun dump = Kvtool({"sprees", "dump", Save(dir, "cut.dat", cut)});
  EXPECT_EQ(dump.rc, 1);
  EXPECT_EQ(nlohmann::json::parse(dump.out)["killing"].size(), 1u);
  EXPECT_NE(dump.err.find("Error loading KillingSpring data - the file ends before the messages of the "
                          "losing sprees"),
            std::string::npos)
      << dump.err;
  for (const char* bad : {"{\"killing\": 3, \"losing\": []}", "{\"killing\": []}",
                          "{\"killing\": [{\"count\": 1, \"line\": \"a\\r\\nb\"}], \"losing\": []}"})
    EXPECT_EQ(Kvtool({"sprees", "build", Save(dir, "bad.json", bad)}).rc, 1) << bad;
  EXPECT_EQ(Kvtool({"sprees"}).rc, 1);
}

}  // namespace
}  // namespace kv::tool
