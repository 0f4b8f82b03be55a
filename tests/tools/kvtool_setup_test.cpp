#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/datafiles.h"
#include "domain/settings.h"
#include "domain/setup_export.h"
#include "formats/config.h"
#include "tests/support/temp_home.h"
#include "tests/tools/kvtool_run.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

namespace fs = std::filesystem;

class KvtoolSetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ini_ = (dir_ / "kelvandrome.ini").string();
    file_ = std::make_unique<TConfigFile>(ini_);
    config_ = std::make_unique<TDynamicConfigData>(file_.get());
  }
  void ExpectOneLineError(const TRun& r, const std::string& text) {
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("kvtool: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }

  kv::testing::TTempHome dir_{"kvtool-setup"};
  std::string ini_;
  std::unique_ptr<TConfigFile> file_;
  std::unique_ptr<TDynamicConfigData> config_;
};

TEST_F(KvtoolSetupTest, DumpShowsVersionAndSectionLengths) {
  TDataFileRegistry registry;
  TDataFileHandler bans;
  bans.load = [](TStream&) {};
  bans.save = [](TStream& s) { WriteTextLines(s, {"cheater"}); };
  registry.Register(TDataFileId::BanList, bans);
  const std::string path = (dir_ / "all.KVSetup").string();
  ExportSetup(path, *config_, registry);
  const size_t settings = ReadSetupImage(LoadFileBytes(path)).sections[0].size();
  ASSERT_GT(settings, 0u);

  const TRun r = Kvtool({"setup", "dump", path});
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.out, "OneFileConfig Save-Version 1.1\n1 Settings: " + std::to_string(settings) +
                       "\n2 Killing Spring Data: 0\n3 Event Messages: 0\n4 Weapon Watch List: 0\n"
                       "5 Player History: 0\n6 Statistics: 0\n7 Configlist: 0\n8 BanList: 9\n"
                       "9 Server Access Data: 0\n10 SkinList: 0\n");

  std::ofstream(dir_ / "foreign.KVSetup", std::ios::binary) << "this is no setup export";
  ExpectOneLineError(Kvtool({"setup", "dump", (dir_ / "foreign.KVSetup").string()}),
                     "Wrong File Version -  expected [OneFileConfig Save-Version 1.1] found: ");
  ExpectOneLineError(Kvtool({"setup", "dump", (dir_ / "missing.KVSetup").string()}), "missing.KVSetup");
  ExpectOneLineError(Kvtool({"setup", "list", path}), "usage");
}

TEST_F(KvtoolSetupTest, IniDecipherPrintsThePlainValueInUtf8) {
  TSettings settings(*config_, dir_);
  settings.SetEnc("SSHPASSWORD",
                  "Gr\xFC\xDF"
                  "e");
  config_->SetString("RCONPASSWORD", "typed in by hand");
  config_->SetString("RCONHost", "");

  const TRun r = Kvtool({"ini", "decipher", ini_, "sshpassword"});
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.out,
            "Gr\xC3\xBC\xC3\x9F"
            "e\n");
  EXPECT_EQ(Kvtool({"ini", "decipher", ini_, "RCONHost"}).out, "\n");

  // A value enciphered apart from this code base (see the cipher's golden
  // texts) reads back.
  config_->SetString("SSHLOGIN", "L3Tn8AQ=");
  EXPECT_EQ(Kvtool({"ini", "decipher", ini_, "SSHLOGIN"}).out, "Hello\n");

  ExpectOneLineError(Kvtool({"ini", "decipher", ini_, "RCONPASSWORD"}), "RCONPASSWORD: ");
  ExpectOneLineError(Kvtool({"ini", "decipher", ini_, "SSHCOMMAND"}), "no key SSHCOMMAND");
  ExpectOneLineError(Kvtool({"ini", "decipher", ini_, "SaveTimer"}), "not an enciphered setting");
  ExpectOneLineError(Kvtool({"ini", "decipher", (dir_ / "none.ini").string(), "SSHLOGIN"}), "cannot read");
  ExpectOneLineError(Kvtool({"ini", "show", ini_}), "usage");
}

}  // namespace
}  // namespace kv::tool
