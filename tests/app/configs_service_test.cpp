// The configuration sets in the whole service: loaded from the home's
// Configurations.dat, applied from the terminal to mohsim over loopback,
// the switched checks in the INI file, and the file saved back unchanged.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <sstream>

#include "app/service.h"
#include "core/stream.h"
#include "formats/config.h"
#include "serverconfig/configlist.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/sim_home.h"
#include "tests/support/temp_home.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

namespace fs = std::filesystem;

// A rule as the checks are built: it reads its switch when the settings
// are applied.
class TPingRule : public TSubsystem {
 public:
  explicit TPingRule(std::atomic<int>& seen_off) : seen_off_(seen_off) {}
  std::string_view Name() const override { return "ping rule"; }
  void ApplySettings(TSettings& settings) override {
    if (!settings.Bool("PingCheckEnabled")) ++seen_off_;
  }

 private:
  std::atomic<int>& seen_off_;
};

TEST(ServiceConfigs, TerminalAppliesASetFromTheDataFile) {
  testing::TSimHome server("pw", "configs");
  ASSERT_TRUE(server.Started()) << server.Error();
  mohsim::TMohSim& sim = server.Sim();
  server.WriteIni();
  TVarList war, pub;
  war.SetValue("Name", TVariant(std::string("Clan War")));
  war.SetValue("configdelay", TVariant(int32_t{600}));
  pub.SetValue("Name", TVariant(std::string("Public")));
  pub.SetValue("PingCheck", TVariant(false));
  pub.SetValue("SkinDetection", TVariant(false));
  pub.SetValue("ServerName", TVariant(std::string("Open Fire")));
  TMemoryStream file;
  WriteConfigurationsFile(file, {war, pub});
  fs::create_directories(server.Home() / "Data");
  const fs::path dat = server.Home() / "Data" / "Configurations.dat";
  SaveFileAtomic(dat.string(), file);

  std::ostringstream terminal;
  {
    TKelvandromeService service({server.Home().string(), &terminal});
    std::atomic<int> seen_off{0};
    service.AddSubsystems(
        [&](TRuntime&, TSubsystemList& list) { list.Add(std::make_unique<TPingRule>(seen_off)); });
    service.Open();
    testing::TBusRecorder global({"GLOBAL"});
    EXPECT_EQ(seen_off.load(), 0);
    EXPECT_EQ(service.TerminalCommand("config list"), "1. Clan War\n2. Public");
    EXPECT_EQ(service.ConfigList().Names(), (std::vector<std::string>{"Clan War", "Public"}));
    EXPECT_EQ(service.TerminalCommand("config apply nothing"),
              "no configuration named \"nothing\" (config list shows them)");
    EXPECT_EQ(service.TerminalCommand("config apply public"), "applying configuration \"Public\"");
    ASSERT_TRUE(testing::WaitFor([&] { return sim.Commands().size() >= 3; }, 20'000));
    EXPECT_EQ(sim.Commands(), (std::vector<std::string>{"sv_hostname \"Open Fire\"", "password  \"\"",
                                                        "sv_privatepassword  \"\""}));
    // The terminal stream belongs to the service's printer thread until the
    // service closes: the bus says the same, and may be read meanwhile.
    EXPECT_TRUE(global.WaitFor([](const testing::TRecordedMessage& m) {
      return m.text.find("configuration \"Public\" activated") != std::string::npos;
    }));
    EXPECT_FALSE(service.ConfigData().GetBoolDef("PingCheckEnabled", true));
    // The rules have read their switches again, on the main loop (served
    // here as the program's Run would).
    EXPECT_TRUE(service.Loop().RunUntil([&] { return seen_off.load() == 1; }, 5000));
    // The long wait of the other set ends with the service. The worker is
    // busy until just after it said "activated".
    ASSERT_TRUE(testing::WaitFor([&] { return !service.ConfigList().Busy(); }, 5000));
    EXPECT_EQ(service.TerminalCommand("config apply Clan War"), "applying configuration \"Clan War\"");
    EXPECT_EQ(service.TerminalCommand("config"),
              "usage: config list | config show NAME | config apply NAME | config cancel");
    service.Close();
  }
  EXPECT_NE(terminal.str().find("TMohaaConfigList Stopped"), std::string::npos) << terminal.str();
  // The final save keeps what the set switched.
  const std::string ini = testing::ReadFileText(server.Home() / "kelvandrome.ini");
  EXPECT_NE(ini.find("PingCheckEnabled=0"), std::string::npos) << ini;
  EXPECT_NE(ini.find("EnableSkinDetect=0"), std::string::npos) << ini;
  const auto saved = LoadFileBytes(dat.string());
  EXPECT_EQ(std::string(saved.begin(), saved.end()), file.Str());
}

}  // namespace
}  // namespace kv
