#include "core/datafiles.h"

#include <gtest/gtest.h>

#include <map>

#include "domain/settings.h"
#include "tests/support/home_fixture.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using testing::TLinesOwner;

// Every file of the catalogue with an owner made here; the history store's
// directory hook notes its calls in the same log.
class DataFilesTest : public testing::HomeTest {
 protected:
  void SetUp() override {
    HomeTest::SetUp();
    for (int i = 0; i < kDataFileCount; ++i) {
      const auto id = static_cast<TDataFileId>(i);
      if (id == TDataFileId::History) continue;
      owners_[id] = TLinesOwner{DataFileInfo(id).file_name, &log_, {}};
    }
    for (auto& [id, owner] : owners_) registry_.Register(id, owner.Handler());
    TDataFileHandler history;
    history.load_dir = [this](const fs::path& dir) {
      log_.push_back("load History");
      EXPECT_EQ(dir, home_ / "Data");
    };
    history.save_dir = [this](const fs::path&) { log_.push_back("save History"); };
    registry_.Register(TDataFileId::History, history);
  }
  std::vector<std::string> Expected(const std::string& verb, const auto& order) {
    std::vector<std::string> out;
    for (const TDataFileId id : order) out.push_back(verb + " " + DataFileInfo(id).file_name);
    out.push_back(verb + " HotKeys.dat");
    return out;
  }

  std::vector<std::string> log_;
  std::map<TDataFileId, TLinesOwner> owners_;
  TDataFileRegistry registry_;
};

TEST_F(DataFilesTest, LoadRunsInOrderAndDamagedFilesAreReportedWithTheirLabels) {
  WriteData("OldMsg.dat", "hello all\r\nround two\r\n");
  WriteData("ChatTrigger.dat", "BROKEN\r\n");
  WriteData("BanList.dat", "BROKEN");
  WriteData("SkinList.dat", "allied_pilot\nallied_sas\n");
  fs::create_directories(DataFile("HotKeys.dat"));  // exists but cannot be read
  owners_[TDataFileId::KickReasons].lines = {"stale"};

  std::string error;
  try {
    LoadAllSettings(home_, *config_, info_, registry_);
    ADD_FAILURE() << "no error raised";
  } catch (const ESettingsLoadError& e) {
    error = e.what();
    EXPECT_EQ(e.Loaded().auto_save_interval_ms, 600000);  // the caller can still set its timers
    // The settings after the data files were read all the same.
    EXPECT_EQ(e.Loaded().protections.spawn_rule.max_count, 3);
  }
  std::vector<std::string> expected = Expected("load", kDataFileLoadOrder);
  expected.pop_back();  // the hot-key "file" failed before its owner was asked
  EXPECT_EQ(log_, expected);
  EXPECT_EQ(
      error.rfind("\r\n\r\nChat Triggers: bad data in ChatTrigger.dat\r\nBanList: bad data in BanList.dat\r\n"
                  "HotKeys: ",
                  0),
      0u)
      << error;
  // What loaded before and after the damaged files stays loaded; a file
  // that does not exist loads as empty.
  EXPECT_EQ(owners_[TDataFileId::OldMsg].lines, (std::vector<std::string>{"hello all", "round two"}));
  EXPECT_EQ(owners_[TDataFileId::SkinList].lines, (std::vector<std::string>{"allied_pilot", "allied_sas"}));
  EXPECT_TRUE(owners_[TDataFileId::KickReasons].lines.empty());
}

TEST_F(DataFilesTest, FreshHomeLoadsWithoutError) {
  EXPECT_NO_THROW(LoadAllSettings(home_, *config_, info_, registry_));
  EXPECT_EQ(log_.size(), 13u);
  // Unregistered owners are not asked, and their files stay untouched.
  registry_.Unregister(TDataFileId::BanList);
  WriteData("BanList.dat", "BROKEN");
  EXPECT_NO_THROW(LoadAllSettings(home_, *config_, info_, registry_));
  EXPECT_NO_THROW(SaveAllData(home_, *config_, TProtectionSettings(), registry_, {}));
  EXPECT_EQ(ReadData("BanList.dat"), "BROKEN");
}

TEST_F(DataFilesTest, SaveWritesEveryFileAndTheKeysInOrder) {
  owners_[TDataFileId::SkinList].lines = {"german_panzer_grenadier"};
  owners_[TDataFileId::OldMsg].lines = {"a", "", "b"};
  TProtectionSettings protections;
  protections.skin_kick_msg = "go away";
  protections.skin_scan_seconds = 60;
  SaveAllData(home_, *config_, protections, registry_, TOperatorInterfaceSettings{false, 250});
  EXPECT_EQ(log_, Expected("save", kDataFileSaveOrder));
  EXPECT_EQ(ReadData("SkinList.dat"), "german_panzer_grenadier\r\n");
  EXPECT_EQ(ReadData("OldMsg.dat"), "a\r\n\r\nb\r\n");
  EXPECT_EQ(ReadData("BanList.dat"), "");
  EXPECT_EQ(Ini("SkinKickMsg"), "go away");
  EXPECT_EQ(Ini("ScanSkinsallXSeconds"), "60");
  EXPECT_EQ(Ini("lastxlines"), "250");
  EXPECT_EQ(Ini("EnableSkinDetect"), "0");
}

TEST_F(DataFilesTest, AFailingSaveLeavesTheOldFileAndTheOthersAreStillWritten) {
  WriteData("BanList.dat", "old ban\r\n");
  owners_[TDataFileId::BanList].lines = {"new ban", "another"};
  owners_[TDataFileId::BanList].fail_save = true;
  owners_[TDataFileId::SkinList].lines = {"new skin"};
  try {
    SaveAllData(home_, *config_, TProtectionSettings(), registry_, {});
    ADD_FAILURE() << "no error raised";
  } catch (const ECfgError& e) {
    EXPECT_STREQ(e.what(), "\r\nBanList.dat: disk full");
  }
  EXPECT_EQ(ReadData("BanList.dat"), "old ban\r\n");
  EXPECT_EQ(ReadData("SkinList.dat"), "new skin\r\n");
  EXPECT_EQ(log_, Expected("save", kDataFileSaveOrder));
  // No temporary file is left beside the data files.
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(home_ / "Data")) files += e.is_regular_file();
  EXPECT_EQ(files, 12u);
}

TEST(DataFileTextTest, LinesEndInCrLfAndAnyLineEndReads) {
  TMemoryStream in(std::string("one\r\ntwo\nthree\rfour\r\n\r\nlast"));
  EXPECT_EQ(ReadTextLines(in), (std::vector<std::string>{"one", "two", "three", "four", "", "last"}));
  TMemoryStream out;
  WriteTextLines(out, {"x", "", "y"});
  EXPECT_EQ(out.Str(), "x\r\n\r\ny\r\n");
  TMemoryStream empty;
  EXPECT_TRUE(ReadTextLines(empty).empty());
}

}  // namespace
}  // namespace kv
