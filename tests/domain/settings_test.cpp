#include "domain/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "formats/cipher.h"
#include "tests/support/home_fixture.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using testing::HomeTest;
using SettingsTest = HomeTest;

TEST_F(SettingsTest, EmptyHomeWritesEveryKeyWithItsDefault) {
  const TLoadedSettings r = LoadAllSettings(home_, *config_, info_, TDataFileRegistry());
  for (const TSettingDef& d : SettingsCatalogue())
    EXPECT_EQ(Ini(std::string(d.key)), SettingDefaultText(d, home_)) << d.key;
  for (const char* key : {"Servername", "ChatMAXLINES", "ServerCompression", "IconifyOnStartup",
                          "StartupWithOutLogo", "CheckUpdateOnStartup", "UDPTimeOut"})
    EXPECT_NE(Ini(key), "<missing>") << key;
  EXPECT_TRUE(r.not_saved.empty()) << r.not_saved;
  // A reload with nothing missing leaves the file alone; one missing key
  // is added without touching the rest.
  struct stat st {};
  ASSERT_EQ(::stat(IniPath().c_str(), &st), 0);
  LoadAllSettings(home_, *config_, info_, TDataFileRegistry());
  struct stat again {};
  ASSERT_EQ(::stat(IniPath().c_str(), &again), 0);
  EXPECT_EQ(again.st_ino, st.st_ino);
  file_->DeleteKey("Global", "UDPTimeOut");
  config_->SetInteger("SaveTimer", 7);
  const TLoadedSettings last = LoadAllSettings(home_, *config_, info_, TDataFileRegistry());
  EXPECT_EQ(Ini("UDPTimeOut"), "3");
  EXPECT_EQ(Ini("SaveTimer"), "7");
  EXPECT_EQ(Ini("UseDirect"), "1");
  EXPECT_EQ(Ini("Logbasedir"), (home_ / "Logs").string() + "/");
  EXPECT_EQ(Ini("WeaponRegExprSub Machinegun"), "was perforated by");
  EXPECT_TRUE(fs::is_directory(home_ / "Data"));

  // The values reached their groups; the server state publishes its own.
  EXPECT_TRUE(last.log_source.use_direct);
  EXPECT_FALSE(last.log_source.use_ssh || last.log_source.use_ftp || last.log_source.use_no_log);
  EXPECT_EQ(info_.rcon.Get()->port, "12203");
  EXPECT_EQ(last.log_source.ftp_port, "21");
  EXPECT_EQ(last.log_source.ftp_proxy.port, "0");
  EXPECT_EQ(info_.kicks.Get()->ban_kick_delay, -1);
  const TProtectionSettings& p = last.protections;
  EXPECT_EQ(p.ban_immune_nicks, "\\[Z\\.A\\.Q\\]");
  EXPECT_EQ(p.tk_rule.max_count, 3);
  EXPECT_TRUE(p.tk_rule.send_warnings);
  EXPECT_EQ(p.spawn_rule.ban_message, "%playernick% is banned because of SpawnKilling");
  EXPECT_EQ(p.tk_team_change_flood_delay, 3);
  EXPECT_EQ(p.score_formula.front(), 'I');
  EXPECT_EQ(p.score_formula.back(), ')');
  EXPECT_EQ(r.ping.time_min, -1);
  EXPECT_EQ(r.ui.last_x_lines, 100);
  EXPECT_EQ(r.weapon_class_exprs[wcPistol], "was gunned down by");
  EXPECT_EQ(r.auto_save_interval_ms, 600000);
  EXPECT_EQ(r.auto_stats_interval_ms, 0);
  EXPECT_TRUE(r.error.empty());
  // Nothing to resolve yet: no resolver error on a fresh home.
  EXPECT_EQ(info_.ServerHost(), "");
}

// A home whose INI cannot be written (a read-only home, a full disk) still
// loads: every value is read or defaulted, and the failed write is reported
// instead of ending the load.
TEST_F(SettingsTest, AnUnwritableIniStillLoads) {
  WriteIni("UseSSH=1\r\nUseFTP=1\r\nSaveTimer=4\r\nLogbasedir=\r\n");
  const auto before = LoadFileBytes(IniPath());
  fs::create_directories(IniPath() + ".tmp~");  // every rewrite of the INI fails
  const TLoadedSettings r = LoadAllSettings(home_, *config_, info_, TDataFileRegistry());
  EXPECT_NE(r.not_saved.find("Is a directory"), std::string::npos) << r.not_saved;
  EXPECT_TRUE(r.log_source.use_ssh);
  EXPECT_FALSE(r.log_source.use_ftp);
  EXPECT_EQ(r.journals.dir, (home_ / "Logs").string() + "/");
  EXPECT_EQ(r.auto_save_interval_ms, 4 * 60000);
  EXPECT_EQ(r.protections.tk_rule.max_count, 3);
  EXPECT_EQ(TSettings(*config_, home_).Int("UDPTimeOut"), 3);
  EXPECT_EQ(LoadFileBytes(IniPath()), before);
}

TEST_F(SettingsTest, ExactlyOneLogSourceIsKept) {
  struct Case {
    const char* ini;
    bool ssh, ftp, direct, nolog;
    const char* written;  // flag keys as the INI holds them afterwards: SSH FTP Direct NoLog
  };
  const Case cases[] = {
      {"UseSSH=1\r\nUseFTP=1\r\n", true, false, false, false,
       "1000"},  // UseDirect's default 1 is cleared too
      {"UseSSH=0\r\nUseFTP=0\r\nUseDirect=0\r\nUseNoLog=0\r\n", false, false, true, false, "0010"},
      {"UseFTP=1\r\nUseNoLog=1\r\nUseDirect=0\r\n", false, true, false, false, "0100"},
      {"UseDirect=0\r\nUseNoLog=1\r\n", false, false, false, true, "0001"},
  };
  for (const Case& c : cases) {
    WriteIni(c.ini);
    TMohaaServerInfo info;
    info.SetResolver(&testing::FakeResolve);
    const TLogSourceSettings src = LoadAllSettings(home_, *config_, info, TDataFileRegistry()).log_source;
    EXPECT_EQ((std::vector<bool>{src.use_ssh, src.use_ftp, src.use_direct, src.use_no_log}),
              (std::vector<bool>{c.ssh, c.ftp, c.direct, c.nolog}))
        << c.ini;
    EXPECT_EQ(Ini("UseSSH") + Ini("UseFTP") + Ini("UseDirect") + Ini("UseNoLog"), c.written) << c.ini;
  }
}

TEST_F(SettingsTest, EncipheredKeysRoundTripAndABrokenGroupEndsSilently) {
  TSettings s(*config_, home_);
  s.SetEnc("SSHHost", "ssh.example.org");
  s.SetEnc("SSHLOGIN", "admin");
  s.SetEnc("SSHPASSWORD",
           "Gr\xFC\xDF"
           "e");
  s.SetEnc("SSHCOMMAND", "tail -f qconsole.log");
  s.SetEnc("RCONHost", "game.example.org");
  s.SetEnc("RCONPASSWORD", "rc0n");
  s.SetEnc("FTPLOGFILEPASS", "ftp-secret");
  config_->SetString("SSHPORT", "2222");
  EXPECT_EQ(Ini("SSHPASSWORD"), EncipherText(TCipherPurpose::Settings,
                                             "Gr\xFC\xDF"
                                             "e"));
  EXPECT_EQ(file_->ReadString("Global", "SSHLOGIN", "").find("admin"), std::string::npos);

  OpenConfig();
  const TLoadedSettings first = LoadAllSettings(home_, *config_, info_, TDataFileRegistry());
  EXPECT_EQ(first.log_source.ssh_host, "ssh.example.org");
  EXPECT_EQ(first.log_source.ssh_port, "2222");
  EXPECT_EQ(first.log_source.ssh_login, "admin");
  EXPECT_EQ(first.log_source.ssh_password,
            "Gr\xFC\xDF"
            "e");
  EXPECT_EQ(first.log_source.ssh_command, "tail -f qconsole.log");
  EXPECT_EQ(info_.ServerHost(), "game.example.org");
  EXPECT_EQ(info_.GetServerIP(), "10.0.0.16");
  EXPECT_EQ(info_.rcon.Get()->password, "rc0n");
  EXPECT_EQ(first.log_source.ftp_password, "ftp-secret");

  // A login typed in by hand: the SSH group stops at it, keys before it are
  // taken, keys after it keep the values already loaded. The rcon group and
  // everything after still load; a damaged FTP password reads as empty.
  config_->SetString("SSHHost", EncipherSetting("new.example.org"));
  config_->SetString("SSHLOGIN", "gameadmin");  // no Base64 form: refused whatever the cipher gives
  config_->SetString("SSHPASSWORD", EncipherSetting("changed"));
  config_->SetString("RCONPASSWORD", EncipherSetting("new-rcon"));
  config_->SetString("FTPLOGFILEPASS", "plain text");
  config_->SetString("SaveTimer", "5");
  OpenConfig();
  const TLoadedSettings second = LoadAllSettings(home_, *config_, info_, TDataFileRegistry(), first);
  EXPECT_EQ(second.log_source.ssh_host, "new.example.org");
  EXPECT_EQ(second.log_source.ssh_login, "admin");
  EXPECT_EQ(second.log_source.ssh_password,
            "Gr\xFC\xDF"
            "e");
  EXPECT_EQ(info_.rcon.Get()->password, "new-rcon");
  EXPECT_EQ(second.log_source.ftp_password, "");
  EXPECT_EQ(ReadAutoSaveIntervalMs(*config_), 300000);
}

// Reads at the moment of use take the catalogue's default, with or
// without a store, and refuse keys and types the catalogue does not have.
TEST_F(SettingsTest, KeysReadAtUseTakeTheCataloguesDefault) {
  const TSettingsReader keys = info_.Settings();
  EXPECT_EQ(keys.Int("udptimeout"), 3);
  EXPECT_TRUE(keys.Bool("FilterMessagesSend"));
  config_->SetInteger("UDPTimeOut", 9);
  EXPECT_EQ(keys.Int("UDPTimeOut"), 9);
  EXPECT_EQ(keys.IntOr("ErrorRestartDelay", 4), 4);  // the caller's default decides for the run
  EXPECT_EQ(keys.Int("ErrorRestartDelay"), 4);
  const TSettingsReader none;
  EXPECT_EQ(none.Int("UDPTimeOut"), 3);
  EXPECT_EQ(none.String("Servername"), "Unknown Server");
  EXPECT_THROW(keys.Int("UDPTimeOutt"), std::logic_error);
  EXPECT_THROW(keys.Bool("UDPTimeOut"), std::logic_error);
  EXPECT_THROW(keys.IntOr("Servername", 1), std::logic_error);
  EXPECT_THROW(keys.String("ReportDir"), std::logic_error);  // its default depends on the home
}

TEST_F(SettingsTest, DecipherRefusesWhatWasNotEnciphered) {
  EXPECT_EQ(DecipherSetting(""), "");
  EXPECT_EQ(DecipherSetting(EncipherSetting("x")), "x");
  EXPECT_EQ(EncipherSetting("Hello"), "L3Tn8AQ=");  // a form derived apart from this code base
  for (const char* bad : {"secret", "abc=defg", "QUJD!", "QQ==="})
    EXPECT_THROW(DecipherSetting(bad), ECfgError) << bad;
  // Another pass phrase gives bytes that are no text.
  EXPECT_THROW(DecipherSetting(EncipherText(TCipherPurpose::SetupExport, "a longer password text")),
               ECfgError);
}

TEST_F(SettingsTest, DamagedAndEmptyValuesFallBack) {
  WriteIni(
      "Logbasedir=\r\nSaveTimer=abc\r\nStatsReportInterval=-5\r\nEnableTKDetect=yes\r\nTKDetectMax=x\r\n");
  const TLoadedSettings r = LoadAllSettings(home_, *config_, info_, TDataFileRegistry());
  EXPECT_EQ(r.journals.dir, (home_ / "Logs").string() + "/");
  EXPECT_EQ(Ini("Logbasedir"), r.journals.dir);
  EXPECT_EQ(r.auto_save_interval_ms, 0);   // not an integer: 0, the timer stays off
  EXPECT_EQ(r.auto_stats_interval_ms, 0);  // negative: off as well
  EXPECT_TRUE(r.protections.tk_detect_on);
  EXPECT_EQ(r.protections.tk_rule.max_count, 0);
}

TEST_F(SettingsTest, CatalogueKeysAreUniqueAndTyped) {
  for (const TSettingDef& d : SettingsCatalogue()) {
    EXPECT_EQ(FindSetting(d.key), &d) << d.key << " is listed twice";
    if (d.type == TSettingType::Bool) {
      EXPECT_TRUE(d.def == "0" || d.def == "1") << d.key;
    }
    if (d.type == TSettingType::Enc) {
      EXPECT_TRUE(d.def.empty()) << d.key;
    }
  }
  for (const char* key : kLogSwitchKeys) EXPECT_NE(FindSetting(key), nullptr) << key;
  TSettings s(*config_, home_);
  EXPECT_THROW(s.Int("NoSuchKey"), std::logic_error);
  EXPECT_THROW(s.String("SaveTimer"), std::logic_error);
}

}  // namespace
}  // namespace kv
