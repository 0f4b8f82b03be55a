#include "gamelink/file_session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "core/clock.h"
#include "formats/config.h"
#include "gamelink/userinfo.h"
#include "gamelink_test_support.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/event_recorder.h"
#include "tests/support/temp_home.h"

namespace kv {
namespace {

using testing::TBusRecorder;
using testing::TRecordedMessage;

namespace fs = std::filesystem;

// A store the server's parts read for one scope, also when an assertion
// leaves it early.
struct TConfigScope {
  explicit TConfigScope(TMohaaServerInfo& s) : server(s) { server.UseConfig(&data); }
  ~TConfigScope() { server.UseConfig(nullptr); }
  TMohaaServerInfo& server;
  TDynamicConfigData data{nullptr};
};

class FileSessionTest : public ::testing::Test {
 protected:
  FileSessionTest() : path_((dir_ / "qconsole.log").string()) {}

  void Write(std::string_view bytes, const std::string& path = {}) {
    std::ofstream out(path.empty() ? path_ : path, std::ios::binary | std::ios::app);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  TThreadPtr<TFileSession> Start() {
    return TFileSession::Create(&server_, path_, std::make_unique<TServerLogEventChecker>());
  }
  std::vector<std::string> RawTexts() {
    std::vector<std::string> texts;
    for (const auto& e : raw_.Events()) texts.push_back(e->text);
    return texts;
  }
  // Waits (real time, bounded) until the follower has read everything
  // written so far; with a manual clock the growth time is the clock's.
  static bool WaitRead(TFileSession& s, double time, int64_t timeout_ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (s.LastNewMessageTime() != time) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  TBusScope bus_{test::AllEventCategories()};
  testing::TEventRecorder raw_{{"EVENTNewLogFileEntry"}};
  TBusRecorder global_{{"GLOBAL"}};
  TMohaaServerInfo server_;
  testing::TTempHome dir_{"follow"};
  std::string path_;
};

TEST_F(FileSessionTest, StartsAtTheEndAndFollowsNewLines) {
  testing::TEventRecorder kills({"EVENTkill"});
  test::TCurrentPlayers players(server_, {{"Alice", 3}, {"Bob", 2}});
  std::string old;
  for (int i = 0; i < 20000; ++i) old += "Alice was sniped by Bob (old)\n";
  Write(old);
  auto session = Start();
  ASSERT_TRUE(global_.WaitForText("TFileSession Started"));
  EXPECT_TRUE(session->Running());
  Write("Alice was sniped by Bob\r\nnoise\n");
  ASSERT_TRUE(raw_.WaitCount(2));
  EXPECT_EQ(RawTexts(), (std::vector<std::string>{"Alice was sniped by Bob", "noise"}));
  ASSERT_TRUE(kills.WaitCount(1));
  EXPECT_EQ(kills.Events()[0]->log_entry->line, "Alice was sniped by Bob");
  EXPECT_EQ(session->LastText(), "Alice was sniped by Bob\r\nnoise\n");
  session.reset();
  EXPECT_TRUE(global_.WaitForText("TFileSession Stopped"));
  EXPECT_EQ(raw_.Count(), 2u);
}

TEST_F(FileSessionTest, DropsNulBytesAndConvertsTheConsoleCodePageOnlyWhenSet) {
  // CP437 0x81 is u-umlaut (0xFC in Windows-1252), 0xE1 is sharp s (0xDF).
  const std::string written(
      "ab\0\0\0cd\n\x81"
      "ber Stra\xE1"
      "e\n\0\0\0\0",
      22);
  for (const int page : {0, 437}) {
    SCOPED_TRACE(page);
    TConfigScope config(server_);
    if (page) config.data.SetInteger("ConsoleCodePage", page);
    testing::TEventRecorder raw({"EVENTNewLogFileEntry"});
    Write("");
    auto session = Start();
    Write(written);
    ASSERT_TRUE(raw.WaitCount(2));
    const std::string second = page ? "\xFC"
                                      "ber Stra\xDF"
                                      "e"
                                    : "\x81"
                                      "ber Stra\xE1"
                                      "e";
    EXPECT_EQ(raw.Events()[0]->text, "abcd");
    EXPECT_EQ(raw.Events()[1]->text, second);
    session.reset();
  }
}

// The game writes a name with the same bytes to its log and to its status
// reply: whatever the setting, the name read from one is found in the other.
TEST_F(FileSessionTest, NamesOfLogAndStatusReplyAgreeInEveryCodePageSetting) {
  const std::string reply = std::string("\xFF\xFF\xFF\xFF\x01print\n") +
                            "map: dm/mohdm6\n"
                            "num score ping name            lastmsg address               qport rate  \n"
                            "--- ----- ---- --------------- ------- --------------------- ----- -----\n"
                            "  3    12   48 J\x94rg                20 10.0.0.2:12203         1000 25000\n";
  for (const int page : {0, 437}) {
    SCOPED_TRACE(page);
    TConfigScope config(server_);
    config.data.SetInteger("ConsoleCodePage", page);
    const auto list = ParseStatusReply(FromConsoleCodePage(server_.Settings(), reply));
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->Rows().size(), 1u);
    const std::string name = list->Rows()[0].name;
    EXPECT_EQ(name, page ? "J\xF6rg" : "J\x94rg");
    test::TCurrentPlayers players(server_, {{name, 3}, {"Bob", 2}});
    testing::TEventRecorder kills({"EVENTkill"});
    Write("");
    auto session = Start();
    Write("J\x94rg was sniped by Bob\n");
    ASSERT_TRUE(kills.WaitCount(1));
    EXPECT_EQ(kills.Events()[0]->log_entry->first_player.name, name);
    EXPECT_EQ(kills.Events()[0]->log_entry->second_player.name, "Bob");
    session.reset();
  }
}

// A server that writes its log through a buffer leaves a line cut for
// seconds: the kill must still arrive whole.
TEST_F(FileSessionTest, CutLineWaitsForItsEndHoweverLong) {
  TManualClock clock;
  SetClock(&clock);
  testing::TEventRecorder kills({"EVENTkill"});
  test::TCurrentPlayers players(server_, {{"Alice", 3}, {"Bob", 2}});
  Write("");
  {
    auto session = Start();
    clock.Advance(1);
    Write("Alice was sni");
    ASSERT_TRUE(WaitRead(*session, clock.Now()));
    clock.Advance(2000);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));  // several polls
    EXPECT_EQ(raw_.Count(), 0u);
    Write("ped by Bob in the head\r");
    clock.Advance(2000);
    Write("\nnext\n");
    ASSERT_TRUE(raw_.WaitCount(2));
    ASSERT_TRUE(kills.WaitCount(1));
    EXPECT_EQ(RawTexts(), (std::vector<std::string>{"Alice was sniped by Bob in the head", "next"}));
    EXPECT_EQ(kills.Events()[0]->log_entry->second_player.name, "Bob");
  }
  SetClock(nullptr);
}

TEST_F(FileSessionTest, UnfinishedLineGoesAloneAtStop) {
  Write("");
  auto session = Start();
  Write("complete\nlonely");
  ASSERT_TRUE(raw_.WaitCount(1));
  session.reset();
  ASSERT_TRUE(raw_.WaitCount(2));
  EXPECT_EQ(RawTexts(), (std::vector<std::string>{"complete", "lonely"}));
}

// A stop while the subscribers are behind (the hub does not dispatch) must
// not wait for them; what was read goes on in order and without a gap, the
// rest stays in the file.
TEST_F(FileSessionTest, StopWhileTheBusIsFullIsPromptAndKeepsOrder) {
  constexpr int kLines = 400'000;
  std::string text;
  for (int i = 0; i < kLines; ++i) text += "line " + std::to_string(i) + "\n";
  Write("");
  auto session = Start();
  bus_.Hub().HoldDispatch(true);
  Write(text);
  for (int i = 0; i < 5000 && !(BusFull() && session->Buffer().Pending() >= TLogBuffer::kMaxQueuedBytes); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(BusFull());
  const auto start = std::chrono::steady_clock::now();
  session.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  bus_.Hub().HoldDispatch(false);
  ASSERT_TRUE(raw_.Flush(20000));
  const auto texts = RawTexts();
  ASSERT_FALSE(texts.empty());
  EXPECT_LT(texts.size(), static_cast<size_t>(kLines));
  for (size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(texts[i], "line " + std::to_string(i));
}

TEST_F(FileSessionTest, TruncatedFileIsReadFromItsStart) {
  Write(std::string(4096, 'x') + "\n");
  auto session = Start();
  Write("before\ncut");
  ASSERT_TRUE(raw_.WaitCount(1));
  fs::resize_file(path_, 0);
  Write("after one\nafter two\n");
  ASSERT_TRUE(raw_.WaitCount(4));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  // The cut line's end will never come: it goes alone.
  EXPECT_EQ(RawTexts(), (std::vector<std::string>{"before", "cut", "after one", "after two"}));
}

TEST_F(FileSessionTest, RenamedAndRecreatedFileIsFollowed) {
  Write("old content\n");
  auto session = Start();
  Write("last of old\n");
  fs::rename(path_, path_ + ".1");
  Write("late old line\n", path_ + ".1");  // the writer still had it open
  Write("first of new\nsecond of new\n");
  ASSERT_TRUE(raw_.WaitCount(4));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(RawTexts(),
            (std::vector<std::string>{"last of old", "late old line", "first of new", "second of new"}));
}

// Change notices alone drive the follower: idle, it does not look at the
// file; a write wakes it at once.
TEST_F(FileSessionTest, IdleFollowerSleepsUntilTheFileChanges) {
  Write("");
  auto session = Start();
  ASSERT_TRUE(session->Notified());
  Write("first\n");
  ASSERT_TRUE(raw_.WaitCount(1));
  const uint64_t idle = session->Wakeups();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a looker would look many times here
  EXPECT_LE(session->Wakeups() - idle, 1u);                     // at most a late notice of the first write
  Write("second\n");
  ASSERT_TRUE(raw_.WaitCount(2, 1000));
  EXPECT_EQ(RawTexts(), (std::vector<std::string>{"first", "second"}));
}

// The log's name is a link into another directory: writes there and a
// rotation there are noticed although the link's own directory never changes.
TEST_F(FileSessionTest, LinkIntoAnotherDirectoryIsFollowedThroughItsRotation) {
  const fs::path real = dir_ / "real";
  fs::create_directory(real);
  const std::string target = (real / "game.log").string();
  Write("", target);
  fs::create_symlink(target, path_);
  auto session = Start();
  ASSERT_TRUE(session->Notified());
  Write("through the link\n", target);
  ASSERT_TRUE(raw_.WaitCount(1, 2000));
  fs::rename(target, target + ".1");
  Write("late old line\n", target + ".1");
  Write("first of new\n", target);
  ASSERT_TRUE(raw_.WaitCount(3, 2000));
  EXPECT_EQ(RawTexts(), (std::vector<std::string>{"through the link", "late old line", "first of new"}));
}

TEST_F(FileSessionTest, HugeLinesAndGarbageDoNotStallIt) {
  testing::TEventRecorder kills({"EVENTkill"});
  test::TCurrentPlayers players(server_, {{"Alice", 3}, {"Bob", 2}});
  Write("");
  auto session = Start();
  std::string garbage(256 * 1024, '\0');
  std::mt19937 rng(7);
  for (auto& c : garbage) c = static_cast<char>(rng());
  Write(std::string(1024 * 1024, 'A') + "\n");
  Write(garbage);
  Write("\nAlice was sniped by Bob\n");
  ASSERT_TRUE(kills.WaitCount(1, 20000));
  ASSERT_TRUE(raw_.WaitUntil([](const auto& events) {
    return !events.empty() && events.back()->text == "Alice was sniped by Bob";
  }));
  const auto texts = RawTexts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.front(), std::string(1024 * 1024, 'A'));
  EXPECT_EQ(texts.back(), "Alice was sniped by Bob");
}

TEST_F(FileSessionTest, StopWhileWaitingForTheDownloaderIsPrompt) {
  Write("");
  std::atomic<int> asked{0};
  auto session = TFileSession::Create(&server_, path_, std::make_unique<TServerLogEventChecker>(), [&] {
    ++asked;
    return false;
  });
  const auto start = std::chrono::steady_clock::now();
  while (asked.load() == 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_GE(asked.load(), 1);  // asked, now waiting a second before the next question
  const auto stop = std::chrono::steady_clock::now();
  session->Stop();
  ASSERT_TRUE(session->WaitFinished(5000));
  EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::milliseconds(500));
  EXPECT_EQ(session->ErrorFlag(), 0);
  EXPECT_TRUE(global_.WaitForText("TFileSession Stopped"));
}

TEST_F(FileSessionTest, StartupFailures) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "Can\xB4t open Logfile with an emty path"},
      {(dir_ / "missing.log").string(),
       "Cannot open file \"" + (dir_ / "missing.log").string() + "\". No such file or directory"},
  };
  for (const auto& [path, error] : cases) {
    auto session = TFileSession::Create(&server_, path, std::make_unique<TServerLogEventChecker>());
    ASSERT_TRUE(session->WaitFinished(5000));
    EXPECT_EQ(session->ErrorFlag(), 1);
    EXPECT_FALSE(session->Running());
    EXPECT_EQ(session->LastText(), error);
    const std::string expected = "TFileSession startup failed with: " + error;
    EXPECT_TRUE(global_.WaitFor(
        [&](const TRecordedMessage& m) { return m.text == expected && m.level == mlCritical; }));
  }
  EXPECT_TRUE(global_.WaitFor([](const TRecordedMessage& m) { return m.text == "TFileSession Stopped"; }));
}

}  // namespace
}  // namespace kv
