#include "core/config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/stream.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kvcfg-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = (dir_ / "kelvandrome.ini").string();
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string FileText() {
    const auto b = LoadFileBytes(path_);
    return std::string(b.begin(), b.end());
  }
  void WriteFile(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  fs::path dir_;
  std::string path_;
};

TEST_F(ConfigTest, DefaultIsWrittenBackAtFirstRead) {
  TConfigFile file(path_);
  TDynamicConfigData cfg(&file);
  EXPECT_EQ(cfg.GetIntegerDef("SaveTimer", 10), 10);
  EXPECT_EQ(FileText(), "[Global]\r\nSaveTimer=10\r\n");
  // A second store on the same file sees the written value, whatever its default.
  TDynamicConfigData again(&file);
  EXPECT_EQ(again.GetIntegerDef("savetimer", 99), 10);
}

TEST_F(ConfigTest, TypedReadsOfHandWrittenValues) {
  WriteFile(
      "; operator's comment\r\n[global]\r\nA=2\r\nB=yes\r\nC=0\r\nD= 0x1F \r\nE=abc\r\nF=2,5\r\n"
      "G=24.12.2003\r\nH=24.12.2003 18:00:00\r\nI=Logs\r\nJ=$10\r\n[Other]\r\nK=1\r\n");
  TConfigFile file(path_);
  TDynamicConfigData cfg(&file);
  EXPECT_TRUE(cfg.GetBoolDef("A", false));
  EXPECT_TRUE(cfg.GetBoolDef("B", false));
  EXPECT_FALSE(cfg.GetBoolDef("C", true));
  EXPECT_EQ(cfg.GetIntegerDef("D", 0), 31);
  EXPECT_EQ(cfg.GetIntegerDef("E", 5), 0);
  EXPECT_EQ(cfg.GetIntegerDef("J", 0), 16);
  EXPECT_DOUBLE_EQ(cfg.GetValueDef("F", vtDouble, 0.0).AsDouble(), 2.5);
  EXPECT_DOUBLE_EQ(cfg.GetValueDef("G", vtDate, TVariant::Date(0)).AsDouble(), 37979);
  EXPECT_DOUBLE_EQ(cfg.GetDateTimeDef("H", 0), 37979.75);
  EXPECT_EQ(cfg.GetPathDef("I", "x"), "Logs/");
  EXPECT_EQ(cfg.GetPathDef("Empty", ""), "");
  // The key of another section is not this section's.
  EXPECT_EQ(cfg.GetIntegerDef("K", 7), 7);
  EXPECT_EQ(file.ReadString("Other", "k", ""), "1");
  EXPECT_EQ(FileText().substr(0, 22), "; operator's comment\r\n");
}

TEST_F(ConfigTest, QuotedTextsRoundTrip) {
  TConfigFile file(path_);
  TDynamicConfigData cfg(&file);
  cfg.SetString("Msg", "\"quoted\"");
  cfg.SetString("Single", "'x'");
  EXPECT_NE(FileText().find("Msg=\"\"quoted\"\"\r\n"), std::string::npos);
  TDynamicConfigData fresh(&file);
  EXPECT_EQ(fresh.GetStringDef("msg", ""), "\"quoted\"");
  EXPECT_EQ(fresh.GetStringDef("SINGLE", ""), "'x'");
  WriteFile("[Global]\r\nX=  \"padded\"  \r\n");
  TDynamicConfigData third(&file);
  EXPECT_EQ(third.GetStringDef("X", ""), "padded");
}

TEST_F(ConfigTest, ErrorsAndRefusals) {
  TConfigFile file(path_);
  TDynamicConfigData cfg(&file);
  try {
    cfg.GetString("Missing");
    FAIL();
  } catch (const ECfgError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Wert f\xFCr \"Missing\" in Sektion \"Global\" existiert nicht in Datei \"" + path_ + "\" ");
  }
  try {
    cfg.GetValueDef("X", 99, 0);
    FAIL();
  } catch (const ECfgError& e) {
    EXPECT_STREQ(e.what(), kErrUnknownCfgType);
  }
  // A line break would let one value write further keys into the file.
  EXPECT_THROW(cfg.SetString("Nick", "a\r\nRCONPASSWORD=x"), ECfgError);
  EXPECT_FALSE(file.ValueExists("Global", "RCONPASSWORD"));
}

TEST_F(ConfigTest, SetValueIsSeenAtOnceAndKeysKeepTheirSection) {
  WriteFile("[Global]\r\nA=1\r\n\r\n[Other]\r\nB=2\r\n");
  TConfigFile file(path_);
  TDynamicConfigData cfg(&file);
  cfg.SetInteger("New", 5);
  cfg.SetBool("Flag", false);
  EXPECT_EQ(cfg.GetIntegerDef("new", 0), 5);
  EXPECT_FALSE(cfg.GetBoolDef("FLAG", true));
  EXPECT_EQ(FileText(), "[Global]\r\nA=1\r\nNew=5\r\nFlag=0\r\n\r\n[Other]\r\nB=2\r\n");
}

TEST(ConfigUnbound, DefaultsAreCached) {
  TDynamicConfigData cfg(nullptr);
  EXPECT_EQ(cfg.GetIntegerDef("X", 3), 3);
  cfg.SetInteger("X", 4);
  EXPECT_EQ(cfg.GetIntegerDef("X", 3), 4);
}

TEST(ConfigHelpers, ReplaceAllPlaceholdersAndDateTimeText) {
  EXPECT_EQ(ReplaceAllPlaceholders("%DATAkills% + %x% * %DATAkills%", "0"), "0 + 0 * 0");
  EXPECT_EQ(ReplaceAllPlaceholders("100 %", "0"), "100 0");
  EXPECT_EQ(ReplaceAllPlaceholders("no marks", "0"), "no marks");
  // A value that itself holds "%" cannot loop for ever.
  EXPECT_EQ(ReplaceAllPlaceholders("%a%", "%a%").find('%') != std::string::npos, true);
  EXPECT_EQ(DateTimeText(0), "");
  EXPECT_EQ(DateTimeText(37979.75), "24.12.2003 18:00:00");
}

}  // namespace
}  // namespace kv
