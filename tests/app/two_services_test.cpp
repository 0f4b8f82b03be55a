// Two services in one process, each with its own home, game server, main
// loop, configuration store (keys read at their moment of use included),
// server state (the current player list included) and parts.
//
// Each server state also holds its own hooks: the tracker's server identity
// that fills its lists, the placeholders' history look-up.
//
// Still shared through process-wide slots (so this test closes the second
// service first): the bus hub (the first service makes it, the second posts
// on it, so each terminal also prints the other's messages and the first
// service must end last), the clock, and the installed main loop that a
// thread's end wakes. Each server state has its own rcon shutdown flag: one
// service's Close ends no request of the other.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/service.h"
#include "core/datafiles.h"
#include "core/stream.h"
#include "gamelink/userinfo.h"
#include "tests/support/sim_home.h"
#include "tests/support/temp_home.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileText;
using testing::TSimHome;

// A part added by the caller: it owns one data file, and at its Close
// writes a last line into it, which the final save must still carry.
class TNotesSubsystem : public TSubsystem {
 public:
  TNotesSubsystem(TRuntime& runtime, std::string first) : runtime_(runtime), lines_{std::move(first)} {}
  std::string_view Name() const override { return "notes"; }
  void RegisterDataFiles(TDataFileRegistry& registry) override {
    TDataFileHandler h;
    h.load = [](TStream&) {};
    h.save = [this](TStream& s) { WriteTextLines(s, lines_); };
    registry.Register(TDataFileId::KickReasons, std::move(h));
  }
  void Close() override { lines_.push_back("closed in " + runtime_.home.filename().string()); }

 private:
  TRuntime& runtime_;
  std::vector<std::string> lines_;
};

struct TLoopThread {
  explicit TLoopThread(TKelvandromeService& s) : service(s), thread([this] { service.Run(); }) {}
  ~TLoopThread() {
    service.RequestStop();
    thread.join();
  }
  TKelvandromeService& service;
  std::thread thread;
};

TEST(TwoServices, EachAnswersItsOwnCommandsAndSavesItsOwnFiles) {
  TSimHome alpha("pw-a", "alpha"), beta("pw-b", "beta");
  ASSERT_TRUE(alpha.Started()) << alpha.Error();
  ASSERT_TRUE(beta.Started()) << beta.Error();
  alpha.Sim().Join("AlphaPlayer");
  beta.Sim().Join("BetaPlayer");
  // Each request reads QuakeRCON from its own service's INI: alpha's game
  // server refuses the Quake form, beta's speaks it (and the last store
  // opened would have been beta's).
  alpha.WriteIni("lastxlines=111\r\nQuakeRCON=0\r\n");
  beta.WriteIni("lastxlines=222\r\nQuakeRCON=1\r\n");
  beta.Sim().SetQuakeDialect(true);
  alpha.Sim().SetCvar("sv_hostname", "Alpha Box");
  beta.Sim().SetCvar("sv_hostname", "Beta Box");

  std::ostringstream alpha_out, beta_out;
  TKelvandromeService a({alpha.Home().string(), &alpha_out});
  TKelvandromeService b({beta.Home().string(), &beta_out});
  a.AddSubsystems(
      [](TRuntime& rt, TSubsystemList& list) { list.Add(std::make_unique<TNotesSubsystem>(rt, "a")); });
  b.AddSubsystems(
      [](TRuntime& rt, TSubsystemList& list) { list.Add(std::make_unique<TNotesSubsystem>(rt, "b")); });
  a.Open();
  b.Open();
  {
    TLoopThread loop_a(a);
    {
      TLoopThread loop_b(b);
      const std::string status_a = a.TerminalCommand("rcon status");
      const std::string status_b = b.TerminalCommand("rcon status");
      EXPECT_NE(status_a.find("AlphaPlayer"), std::string::npos) << status_a;
      EXPECT_EQ(status_a.find("BetaPlayer"), std::string::npos) << status_a;
      EXPECT_NE(status_b.find("BetaPlayer"), std::string::npos) << status_b;
      EXPECT_EQ(status_b.find("AlphaPlayer"), std::string::npos) << status_b;
      EXPECT_EQ(a.TerminalCommand("say to alpha"), "saying: to alpha");
      EXPECT_EQ(b.TerminalCommand("say to beta"), "saying: to beta");
      const auto said = [](TSimHome& home, const std::string& text) {
        for (const auto& c : home.Sim().Commands())
          if (c == "Say \"" + text + "\"") return true;
        return false;
      };
      EXPECT_TRUE(testing::WaitFor([&] { return said(alpha, "to alpha") && said(beta, "to beta"); }));
      EXPECT_FALSE(said(alpha, "to beta"));
      EXPECT_FALSE(said(beta, "to alpha"));
      // A poll fills the current player list of its own service only.
      const auto names = [](TKelvandromeService& s) {
        std::vector<std::string> out;
        if (auto list = s.ServerInfo().players.Snapshot())
          for (const auto& row : list->Rows()) out.push_back(row.name);
        return out;
      };
      ASSERT_TRUE(GetNewUserList(a.ServerInfo()));
      EXPECT_EQ(names(a), std::vector<std::string>{"AlphaPlayer"});
      EXPECT_EQ(b.ServerInfo().players.Snapshot(), nullptr);
      ASSERT_TRUE(GetNewUserList(b.ServerInfo()));
      EXPECT_EQ(names(b), std::vector<std::string>{"BetaPlayer"});
      EXPECT_EQ(names(a), std::vector<std::string>{"AlphaPlayer"});
      // Each service's tracker tells the lists of its own server the name
      // it asked that server for.
      const auto server_name = [](TKelvandromeService& s) {
        GetNewUserList(s.ServerInfo());
        const auto list = s.ServerInfo().players.Snapshot();
        return list ? list->server_name : std::string();
      };
      EXPECT_TRUE(testing::WaitFor(
          [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // polls wait for the rcon budget
            return server_name(a) == "Alpha Box" && server_name(b) == "Beta Box";
          },
          15000));
      EXPECT_NE(a.TerminalCommand("save").find("Config Saved"), std::string::npos);
    }
    // Closing beta ends beta's rcon only: alpha still asks its game server.
    b.Close();
    const std::string after = a.TerminalCommand("rcon status");
    EXPECT_NE(after.find("AlphaPlayer"), std::string::npos) << after;
    EXPECT_TRUE(GetNewUserList(a.ServerInfo()));
  }
  a.Close();

  // Each INI kept its own value through the saves, and each part's last
  // words reached its own data file in the final save.
  const std::string ini_a = ReadFileText(alpha.Home() / "kelvandrome.ini");
  const std::string ini_b = ReadFileText(beta.Home() / "kelvandrome.ini");
  EXPECT_NE(ini_a.find("lastxlines=111\r\n"), std::string::npos) << ini_a;
  EXPECT_NE(ini_b.find("lastxlines=222\r\n"), std::string::npos) << ini_b;
  const std::string name = DataFileInfo(TDataFileId::KickReasons).file_name;
  EXPECT_EQ(ReadFileText(alpha.Home() / "Data" / name),
            "a\r\nclosed in " + alpha.Home().filename().string() + "\r\n");
  EXPECT_EQ(ReadFileText(beta.Home() / "Data" / name),
            "b\r\nclosed in " + beta.Home().filename().string() + "\r\n");
}

}  // namespace
}  // namespace kv
