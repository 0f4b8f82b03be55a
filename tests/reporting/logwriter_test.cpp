#include "reporting/logwriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/bus_scope.h"
#include "core/clock.h"
#include "core/regional.h"
#include "domain/events.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/temp_home.h"

namespace kv {
namespace {

using testing::TBusRecorder;
using testing::TRecordedMessage;

namespace fs = std::filesystem;

class LogWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { journals_.dir = (home_ / "Logs").string(); }

  std::string Read(const std::string& file) {
    std::ifstream f(home_ / "Logs" / file, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  // The journal without the hub's own notices (the writer also hears its
  // own "New Monitor:" notice, as every all-categories subscriber does).
  std::string ReadWithoutNotices(const std::string& file) {
    std::stringstream in(Read(file));
    std::string out, line;
    while (std::getline(in, line))
      if (line.find("[MonitorInterface]") == std::string::npos) out += line + "\n";
    return out;
  }
  std::vector<std::string> Files() {
    std::vector<std::string> names;
    if (fs::exists(home_ / "Logs"))
      for (const auto& e : fs::directory_iterator(home_ / "Logs"))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  static std::shared_ptr<TMohaaEvent> Event(uint8_t kind, const std::string& text,
                                            const std::string& first = "", const std::string& second = "") {
    auto e = std::make_shared<TMohaaEvent>(kind, text);
    if (!first.empty() || !second.empty()) {
      e->log_entry = std::make_unique<TLogEntry>();
      e->log_entry->first_player.name = first;
      e->log_entry->first_player.address = "10.0.0.7";
      e->log_entry->second_player.name = second;
    }
    return e;
  }

  testing::TTempHome home_{"journals"};
  TJournalSettings journals_;
};

TEST_F(LogWriterTest, KillGoesToKillsOnlyWithTheWeaponClass) {
  TBusScope bus(TBusScope::TCategories{});
  RegisterSystemCategories();
  journals_.switches[lsKills] = true;
  {
    TLogWriter writer(journals_, home_.string());
    auto kill = Event(ekKill, "kill", "Alice", "Bob");
    kill->variables.SetValue("Weapon", 2);
    PostEvent(kill);
    PostEvent(Event(ekChatMessage, "hi", "Alice"));
    PostGlobal("something", mlCritical);
    ASSERT_TRUE(writer.Flush(5000));
  }
  EXPECT_EQ(Files(), std::vector<std::string>{"Kills.txt"});
  EXPECT_EQ(Read("Kills.txt"), "Bob killed Alice with Sniper\r\n");
}

TEST_F(LogWriterTest, EventLineTable) {
  TBusScope bus;
  for (auto& s : journals_.switches) s = true;
  TLogWriter writer(journals_, home_.string());
  auto with_history = Event(ekMapChange, "dm/mohdm6");
  with_history->history_entry = std::make_unique<THistoryUserEntry>();
  with_history->history_entry->player.name = "Alice";
  auto check = Event(ekCheckAntiCheatUser, "check");
  check->variables.SetValue("ACID", 42);
  struct Case {
    std::shared_ptr<TMohaaEvent> event;
    const char* file;
    const char* line;
  } cases[] = {
      {Event(ekNewLogFileEntry, "raw line"), "Debug_SSH.txt", "raw line"},
      {Event(ekNewUser, "", "Alice"), "User_New.txt", "Alice"},
      {Event(ekNickChanged, "OldNick", "NewNick"), "User_NickChanged.txt", "OldNick renamed to NewNick"},
      {with_history, "User_MapChanged.txt", "Alice - Map:dm/mohdm6"},
      {Event(ekMapChange, "dm/mohdm6"), "MapChanged.txt", "dm/mohdm6"},
      {Event(ekUserKicked, "too many team kills", "Alice"), "User_Kicked.txt",
       "Alice Ip:10.0.0.7 Reason:too many team kills"},
      {Event(ekUserKicked, "flood"), "User_Kicked.txt", " Reason:flood"},
      {Event(ekUseripBanned, "banned", "Alice"), "User_Banned.txt", "Alice Ip:10.0.0.7 Message:banned"},
      {Event(ekChatMessage, "hello", "Alice"), "User_Chat.txt", "Alice: hello"},
      {Event(ekAntiCheatUserQconsoleLog, "x", "A", "B"), "ACUserRcon.txt", " Player1: A Player2: Bx"},
      {check, "ACUserChecks.txt", "check ID:[42]"},
      {Event(ekSelfKill, "fell", "Alice"), "SystemEvents.txt", " Player1: Alice: fell"},
      {Event(ekTeamChange, "allies", "Alice"), "Events.txt", "Typ: Team Change  Player1: Alice: allies"},
  };
  for (const auto& c : cases) {
    const auto line = writer.EventLine(*c.event);
    EXPECT_EQ(line.file, c.file) << c.line;
    EXPECT_EQ(line.text, c.line) << c.file;
  }
  journals_.switches[lsChat] = false;
  writer.SetSettings(journals_);
  EXPECT_EQ(writer.EventLine(*Event(ekChatMessage, "hello", "Alice")).file, "");
}

TEST_F(LogWriterTest, GlobalMessagesBannersTimeStampsAndRestart) {
  TManualClock clock(regional::EncodeDate(2026, 12, 10) + 0.5);
  SetClock(&clock);
  TBusScope bus;
  journals_.switches[lsGlobalMessages] = true;
  {
    TLogWriter writer(journals_, home_.string());
    PostGlobal("lost the log", mlCritical);
    ASSERT_TRUE(writer.Flush(5000));
  }
  EXPECT_NE(Read("GlobalMessages.txt").find("[MonitorInterface] -  [\xC4nderung] New Monitor:"),
            std::string::npos);
  EXPECT_EQ(ReadWithoutNotices("GlobalMessages.txt"),
            "******************Kelvandrome Started******************\r\n"
            "[GLOBAL] -  [Kritisch] lost the log\r\n"
            "******************Kelvandrome Stopped******************\r\n");
  journals_.switches[lsAddTimeStamp] = true;
  { TLogWriter writer(journals_, home_.string()); }  // appends
  EXPECT_NE(Read("GlobalMessages.txt").find("lost the log\r\n******"), std::string::npos);
  EXPECT_NE(Read("GlobalMessages.txt").find("[10.12.2026 12:00:00] ******************Kelvandrome Started"),
            std::string::npos);
  journals_.switches[lsDelFilesOnRestart] = true;
  { TLogWriter writer(journals_, home_.string()); }  // starts the file afresh
  EXPECT_EQ(ReadWithoutNotices("GlobalMessages.txt"),
            "[10.12.2026 12:00:00] ******************Kelvandrome Started******************\r\n"
            "[10.12.2026 12:00:00] ******************Kelvandrome Stopped******************\r\n");
  SetClock(nullptr);
}

TEST_F(LogWriterTest, WriteFailureDisablesAndTellsTheOperator) {
  TBusScope bus;
  TBusRecorder recorder({"GLOBAL"});
  journals_.switches[lsKills] = true;
  fs::create_directories(home_ / "Logs" / "Kills.txt");  // a directory where the file should be
  TLogWriter writer(journals_, home_.string());
  writer.WriteLogLine("Kills.txt", "x");
  EXPECT_FALSE(writer.Enabled());
  ASSERT_TRUE(recorder.WaitFor([&](const TRecordedMessage& m) {
    return m.level == mlCritical &&
           m.text.rfind("Can not write to Log File - Check your Setup and Restart Kelvandrome: [" +
                            (home_ / "Logs" / "Kills.txt").string() + "] Error: ",
                        0) == 0;
  }));
  // An unusable directory only drops the line.
  TLogWriter second(journals_, home_.string());
  journals_.dir = "/proc/forbidden-dir";
  second.SetSettings(journals_);
  second.WriteLogLine("User_Chat.txt", "x");
  EXPECT_TRUE(second.Enabled());
}

// Lines from the bus are written when the writer has handled its batch; a
// write that fails then is reported the same way.
TEST_F(LogWriterTest, FailureOfABatchedWriteDisablesAndTellsTheOperator) {
  TBusScope bus(TBusScope::TCategories{{"GLOBAL", kDataPointer}});
  RegisterSystemCategories();
  TBusRecorder recorder({"GLOBAL"});
  journals_.switches[lsChat] = true;
  fs::create_directories(home_ / "Logs");
  fs::create_symlink("/dev/full", home_ / "Logs" / "User_Chat.txt");  // every write fails
  TLogWriter writer(journals_, home_.string());
  PostEvent(Event(ekChatMessage, "hello", "Alice"));
  ASSERT_TRUE(writer.Flush(5000));
  EXPECT_FALSE(writer.Enabled());
  EXPECT_TRUE(recorder.WaitFor([&](const TRecordedMessage& m) {
    return m.level == mlCritical &&
           m.text == "Can not write to Log File - Check your Setup and Restart Kelvandrome: [" +
                         (home_ / "Logs" / "User_Chat.txt").string() + "] Error: No space left on device";
  }));
}

}  // namespace
}  // namespace kv
