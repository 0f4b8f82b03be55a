#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "automation/chat_trigger_file.h"
#include "core/stream.h"
#include "tests/support/temp_home.h"
#include "tests/tools/kvtool_run.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

// dump then build gives ChatTrigger.dat back byte for byte (8-bit texts,
// the stored types of timeout and LastExec); a damaged file shows what it
// holds and fails; a variable of an unknown type is refused.
TEST(KvtoolTriggers, DumpBuildAndTheirErrors) {
  testing::TTempHome dir;
  TVarList hello;
  hello.SetValue("Trigger", "(?i)^hello");
  hello.SetValue("Reaction", "Gr\xFC\xDF dich\\n%playernick%");
  hello.SetValue("timeout", 30);
  hello.SetValue("LastExec", TVariant::Date(46000.25));
  TVarList rules;
  rules.SetValue("Trigger", "!rules");
  rules.SetValue("Reaction", "No camping");
  TMemoryStream file;
  WriteChatTriggerFile(file, {hello, rules});
  const std::string bytes = file.Str();
  const auto dat = (dir.Path() / "ChatTrigger.dat").string();
  SaveFileAtomic(dat, bytes.data(), bytes.size());

  const TRun dump = Kvtool({"triggers", "dump", dat});
  ASSERT_EQ(dump.rc, 0) << dump.err;
  const auto doc = nlohmann::json::parse(dump.out);
  ASSERT_EQ(doc["triggers"].size(), 2u);
  EXPECT_EQ(doc["triggers"][0]["trigger"], "(?i)^hello");
  EXPECT_EQ(doc["triggers"][1]["trigger"], "!rules");
  const auto json_path = (dir.Path() / "t.json").string();
  SaveFileAtomic(json_path, dump.out.data(), dump.out.size());
  const TRun build = Kvtool({"triggers", "build", json_path});
  ASSERT_EQ(build.rc, 0) << build.err;
  EXPECT_EQ(build.out, bytes);

  const std::string cut = bytes.substr(0, bytes.size() - 2);
  SaveFileAtomic(dat, cut.data(), cut.size());
  const TRun damaged = Kvtool({"triggers", "dump", dat});
  EXPECT_EQ(damaged.rc, 1);
  EXPECT_EQ(nlohmann::json::parse(damaged.out)["triggers"].size(), 1u);
  EXPECT_NE(damaged.err.find("Error loading Chat Trigger"), std::string::npos) << damaged.err;

  const std::string odd =
      R"({"triggers": [{"variables": [{"name": "Trigger", "type": "pointer", "value": 1}]}]})";
  SaveFileAtomic(json_path, odd.data(), odd.size());
  const TRun refused = Kvtool({"triggers", "build", json_path});
  EXPECT_EQ(refused.rc, 1);
  EXPECT_NE(refused.err.find("trigger 1: "), std::string::npos) << refused.err;
  EXPECT_EQ(Kvtool({"triggers", "list"}).rc, 1);
}

}  // namespace
}  // namespace kv::tool
