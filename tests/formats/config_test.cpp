#include "formats/config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "core/bus_scope.h"
#include "core/stream.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/temp_home.h"

namespace kv {
namespace {

using testing::TBusRecorder;

namespace fs = std::filesystem;

class ConfigTest : public ::testing::Test {
 protected:
  std::string FileText() {
    const auto b = LoadFileBytes(path_);
    return std::string(b.begin(), b.end());
  }
  void WriteFile(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  testing::TTempHome dir_{"config"};
  std::string path_ = (dir_ / "kelvandrome.ini").string();
};

ino_t Inode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST_F(ConfigTest, ReadsNeverWriteAndMissingDefaultsAreStoredInOneRewrite) {
  TConfigFile file(path_);
  TDynamicConfigData cfg(&file);
  EXPECT_EQ(cfg.GetIntegerDef("SaveTimer", 10), 10);
  EXPECT_FALSE(fs::exists(path_));  // a read wrote nothing
  WriteFile("[Global]\r\nA=1\r\n");
  const ino_t before = Inode(path_);
  EXPECT_EQ(cfg.GetIntegerDef("ErrorRestartDelay", 5), 5);
  EXPECT_EQ(cfg.GetIntegerDef("ErrorRestartDelay", 10), 5);  // the first reader's default holds
  EXPECT_EQ(Inode(path_), before);

  // The loader's write: keys already in the file stay, a key a reader used
  // keeps that reader's value, the rest get their defaults, all at once.
  const std::vector<TConfigDefault> defaults = {
      {"A", vtInteger, TVariant(7)},
      {"ErrorRestartDelay", vtInteger, TVariant(10)},
      {"Servername", vtString, TVariant(std::string("Unknown Server"))},
      {"RestartOnError", vtBoolean, TVariant(true)},
  };
  EXPECT_EQ(cfg.StoreMissing(defaults), 3u);
  EXPECT_EQ(FileText(),
            "[Global]\r\nA=1\r\nErrorRestartDelay=5\r\nServername=Unknown Server\r\nRestartOnError=1\r\n");
  EXPECT_EQ(cfg.GetIntegerDef("A", 0), 1);
  // Nothing missing any more: no rewrite at all.
  const ino_t written = Inode(path_);
  EXPECT_EQ(cfg.StoreMissing(defaults), 0u);
  EXPECT_EQ(Inode(path_), written);
  // A second store on the same file sees the written values, whatever its default.
  TDynamicConfigData again(&file);
  EXPECT_EQ(again.GetIntegerDef("errorrestartdelay", 99), 5);
}

// A disk that takes no more bytes, or anything else in the way of a write:
// reading a setting still works and gives its default; the loader's write
// reports the failure, and its defaults are in use all the same.
TEST_F(ConfigTest, AFailingWriteNeverFailsARead) {
  struct Case {
    const char* what;
    std::function<void(const std::string& tmp)> block;
    const char* error;
  };
  const Case cases[] = {
      {"full disk", [](const std::string& tmp) { fs::create_symlink("/dev/full", tmp); },
       "No space left on device"},
      {"unwritable place", [](const std::string& tmp) { fs::create_directories(tmp); }, "Is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile("[Global]\r\nA=1\r\n");
    const std::string tmp = path_ + ".tmp~";
    c.block(tmp);
    TConfigFile file(path_);
    TDynamicConfigData cfg(&file);
    EXPECT_EQ(cfg.GetIntegerDef("SpawnKillMinTime", 500), 500);
    EXPECT_TRUE(cfg.GetBoolDef("FilterMessagesSend", true));
    EXPECT_EQ(cfg.GetIntegerDef("A", 0), 1);
    try {
      cfg.StoreMissing({{"UDPTimeOut", vtInteger, TVariant(3)}, {"A", vtInteger, TVariant(2)}});
      ADD_FAILURE() << "the write did not fail";
    } catch (const EStreamError& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
    EXPECT_EQ(cfg.GetIntegerDef("UDPTimeOut", 9), 3);
    EXPECT_EQ(FileText(), "[Global]\r\nA=1\r\n");
    fs::remove_all(tmp);
  }
}

TEST_F(ConfigTest, ByteOrderMarkIsAcceptedAndStrayLinesAreReportedOnce) {
  TBusScope bus;
  TBusRecorder recorder({"GLOBAL"});
  const std::string bom = "\xEF\xBB\xBF";
  WriteFile(bom + "[Global]\r\nSaveTimer=5\r\nthis is no setting\r\n; note\r\n# note\r\n\r\n");
  TConfigFile file(path_);
  TDynamicConfigData cfg(&file);
  EXPECT_EQ(cfg.GetIntegerDef("SaveTimer", 10), 5);
  cfg.SetInteger("UDPTimeOut", 4);
  // One section, the mark kept where the operator's editor put it.
  EXPECT_EQ(
      FileText(),
      bom + "[Global]\r\nSaveTimer=5\r\nthis is no setting\r\n; note\r\n# note\r\nUDPTimeOut=4\r\n\r\n");
  // Changed on disk and read again: the same stray line is not reported twice.
  WriteFile(bom + "[Global]\r\nthis is no setting\r\nSaveTimer=6\r\n");
  EXPECT_EQ(file.ReadString("Global", "SaveTimer", ""), "6");
  const std::string report = "Zeile 3 in \"" + path_ +
                             "\" ist keine INI-Zeile und wird \xFC"
                             "bergangen: \"this is no setting\"";
  ASSERT_TRUE(recorder.WaitForText(report));
  bus.Hub().Flush(2000);
  recorder.Monitor().Flush(2000);
  size_t reports = 0;
  for (const auto& m : recorder.Messages())
    if (m.text.find("keine INI-Zeile") != std::string::npos) {
      ++reports;
      EXPECT_EQ(m.level, mlError);
    }
  EXPECT_EQ(reports, 1u);
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
