#include "serverconfig/configlist.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "domain/events.h"
#include "tests/serverconfig/config_fixture.h"
#include "tests/support/event_recorder.h"

namespace kv::testing {
namespace {

std::string FileBytes(const std::vector<TVarList>& sets) {
  TMemoryStream s;
  WriteConfigurationsFile(s, sets);
  return s.Str();
}

std::string Int32(int32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF);
  return s;
}

std::string ListBytes(const TVarList& set) {
  TMemoryStream s;
  set.SaveToStream(s);
  return s.Str();
}

std::vector<TVarList> TwoSets() {
  return {MakeSet({{"Name", TVariant(std::string("Clan War"))},
                   {"maxping", TVariant(int32_t{150})},
                   {"ff", TVariant(true)},
                   {"ServerName", TVariant(std::string("J\xE4ger \"Arena\""))}}),
          MakeSet({{"Name", TVariant(std::string("Public"))}, {"passwd", TVariant(std::string())}})};
}

// The layout: a count, then per set its byte length and its variable list.
TEST(ConfigurationsFile, LayoutIsCountThenLengthPrefixedLists) {
  const auto sets = TwoSets();
  const std::string a = ListBytes(sets[0]), b = ListBytes(sets[1]);
  EXPECT_EQ(FileBytes(sets),
            Int32(2) + Int32(static_cast<int32_t>(a.size())) + a + Int32(static_cast<int32_t>(b.size())) + b);
  EXPECT_EQ(FileBytes({}), Int32(0));

  TMemoryStream in(FileBytes(sets));
  std::vector<TVarList> read;
  ReadConfigurationsFile(in, read);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(FileBytes(read), FileBytes(sets));  // byte for byte
  EXPECT_EQ(ConfigName(read[0]), "Clan War");
  EXPECT_EQ(read[0].GetValue("ServerName").AsString(), "J\xE4ger \"Arena\"");
}

// Each way a file can be damaged: the error text, and the sets before the
// damage kept.
TEST(ConfigurationsFile, DamagedFilesKeepWhatWasRead) {
  const std::string good = FileBytes(TwoSets());
  const std::string first_record = good.substr(4, 4 + ListBytes(TwoSets()[0]).size());
  const struct {
    const char* what;
    std::string bytes;
    size_t kept;
    const char* error;  // nullptr: the variable list's own error
  } cases[] = {
      {"count cut", good.substr(0, 3), 0, kConfigLoadError},
      {"negative count", Int32(-1), 0, kConfigLoadError},
      {"count beyond the records", Int32(3) + good.substr(4), 2, kConfigLoadError},
      {"absurd count", Int32(0x7FFFFFFF) + first_record, 1, kConfigLoadError},
      {"length cut", good.substr(0, good.size() - ListBytes(TwoSets()[1]).size() - 2), 1, kConfigLoadError},
      {"absurd length", Int32(1) + Int32(0x7FFFFFF0) + "abc", 0, kConfigLoadError},
      {"negative length", Int32(1) + Int32(-5), 0, kConfigLoadError},
      {"record cut", good.substr(0, good.size() - 3), 1, kConfigLoadError},
      {"record garbage", Int32(2) + first_record + Int32(4) + "junk", 1, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TMemoryStream in(c.bytes);
    std::vector<TVarList> read;
    try {
      ReadConfigurationsFile(in, read);
      ADD_FAILURE() << "no error";
    } catch (const std::exception& e) {
      if (c.error) {
        EXPECT_STREQ(e.what(), c.error);
      }
    }
    EXPECT_EQ(read.size(), c.kept);
    if (c.kept) {
      EXPECT_EQ(ConfigName(read[0]), "Clan War");
    }
  }
  // An empty file (a fresh home) holds no sets and is no damage.
  TMemoryStream empty;
  std::vector<TVarList> none;
  ReadConfigurationsFile(empty, none);
  EXPECT_TRUE(none.empty());
}

class ConfigListTest : public ConfigRig {};

// Names are unique without regard to letter case; every change is announced.
TEST_F(ConfigListTest, NamesAreUniqueAndChangesAreAnnounced) {
  TEventRecorder changed({ekConfigListChanged});
  EXPECT_TRUE(list_.Add(MakeSet({{"Name", TVariant(std::string("Clan War"))}})));
  EXPECT_FALSE(list_.Add(MakeSet({{"Name", TVariant(std::string("CLAN WAR"))}})));
  EXPECT_FALSE(list_.Add(MakeSet({{"Name", TVariant(std::string())}})));
  EXPECT_FALSE(list_.Add(MakeSet({{"maxping", TVariant(int32_t{1})}})));
  EXPECT_TRUE(list_.Add(MakeSet({{"Name", TVariant(std::string("Public"))}})));
  EXPECT_EQ(list_.Names(), (std::vector<std::string>{"Clan War", "Public"}));

  // Update keeps the place; it may rename, but not onto another set's name.
  EXPECT_FALSE(list_.Update("Public", MakeSet({{"Name", TVariant(std::string("clan war"))}})));
  EXPECT_TRUE(list_.Update("Clan War", MakeSet({{"Name", TVariant(std::string("CLAN WAR"))},
                                                {"maxping", TVariant(int32_t{90})}})));
  EXPECT_EQ(list_.Names(), (std::vector<std::string>{"CLAN WAR", "Public"}));
  EXPECT_EQ(list_.Find("CLAN WAR")->GetValue("maxping").AsInteger(), 90);

  // Look-ups by the exact name; the terminal's look-up takes any case.
  EXPECT_FALSE(list_.Find("public"));
  EXPECT_EQ(list_.ResolveName("public"), "Public");
  EXPECT_FALSE(list_.Delete("public"));
  EXPECT_TRUE(list_.Delete("Public"));
  TMemoryStream one;
  EXPECT_TRUE(list_.SaveOne("CLAN WAR", one));
  EXPECT_EQ(one.Str(), ListBytes(*list_.Find("CLAN WAR")));
  EXPECT_FALSE(list_.SaveOne("Public", one));

  // The terminal shows a set's values, the passwords only as set or not.
  ASSERT_TRUE(list_.Add(MakeSet({{"Name", TVariant(std::string("Locked"))},
                                 {"passwd", TVariant(std::string("hunter2"))},
                                 {"privpass", TVariant(std::string())},
                                 {"maxping", TVariant(int32_t{120})}})));
  const TCommandResult shown = commands_.RunLine({}, "config show locked");
  ASSERT_TRUE(shown.ok) << shown.text;
  EXPECT_EQ(shown.text, "Locked\n  maxping = 120\n  Name = Locked\n  passwd = (set)\n  privpass = (none)");
  EXPECT_FALSE(commands_.RunLine({}, "config show nothing").ok);
  EXPECT_EQ(commands_.RunLine({}, "config frob").text,
            "usage: config list | config show NAME | config apply NAME | config cancel");

  // Add, Add, Update, Delete, Add: five changes.
  ASSERT_TRUE(changed.Flush());
  EXPECT_EQ(changed.Count(), 5u);
}

// Through the data-file registry: a damaged file loads what it can, the
// error names the damage, and the file as found is kept beside the data
// before the next save replaces it. Sets the list refuses are left out
// with a word.
TEST_F(ConfigListTest, DamagedFileIsKeptAndTheReadableSetsLoad) {
  auto sets = TwoSets();
  sets.push_back(MakeSet({{"Name", TVariant(std::string("public"))}}));  // taken by "Public"
  const std::string good = FileBytes(sets);
  const std::string damaged = good.substr(0, good.size() - 2);
  std::filesystem::create_directories(home_.Path() / "Data");
  const auto dat = home_.Path() / "Data" / "Configurations.dat";
  SaveFileAtomic(dat.string(), damaged.data(), damaged.size());

  try {
    registry_.Load(TDataFileId::Configurations, home_.Path());
    ADD_FAILURE() << "no error";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), kConfigLoadError);
  }
  EXPECT_EQ(list_.Names(), (std::vector<std::string>{"Clan War", "Public"}));
  const auto kept = LoadFileBytes((home_.Path() / "Data" / "Configurations.dat.damaged").string());
  EXPECT_EQ(std::string(kept.begin(), kept.end()), damaged);

  // The whole file: the third set's name is taken.
  SaveFileAtomic(dat.string(), good.data(), good.size());
  registry_.Load(TDataFileId::Configurations, home_.Path());
  EXPECT_EQ(list_.Names(), (std::vector<std::string>{"Clan War", "Public"}));
  EXPECT_TRUE(global_.WaitForText(
      "Configuration 3 of Configurations.dat left out: it has no name or a name taken before"));

  // Saved and loaded again: the same bytes.
  registry_.Save(TDataFileId::Configurations, home_.Path());
  const auto saved = LoadFileBytes(dat.string());
  EXPECT_EQ(std::string(saved.begin(), saved.end()), FileBytes(TwoSets()));
}

}  // namespace
}  // namespace kv::testing
