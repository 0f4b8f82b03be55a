#include "gamelink/logbuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "core/clock.h"
#include "gamelink_test_support.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/event_recorder.h"

namespace kv {
namespace {

using testing::TBusRecorder;
using testing::TRecordedMessage;

TEST(SplitLinesTest, LineEnds) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"a\nb\n", {"a", "b"}},       {"a\r\nb", {"a", "b"}}, {"a\rb\r\n", {"a", "b"}},
      {"a\n\nb\n", {"a", "", "b"}}, {"\n", {""}},           {"", {}},
      {"a\r\r\nb", {"a", "", "b"}}, {"no end", {"no end"}},
  };
  for (const auto& [text, expected] : cases) {
    std::vector<std::string> lines;
    SplitLines(text, lines);
    EXPECT_EQ(lines, expected) << text;
  }
}

// Throws out of the parser step, as a broken parser would.
class TThrowingChecker : public TLogEventChecker {
 public:
  void CheckLogForEvents(const TMohaaServerInfo*, const std::string& line) override {
    if (line == "bad") throw std::runtime_error("parser broke");
  }
};

TEST(LogBufferTest, PublishesEveryLineInOrderAndParsesIt) {
  TBusScope bus(test::AllEventCategories());
  testing::TEventRecorder raw({"EVENTNewLogFileEntry"});
  testing::TEventRecorder kills({"EVENTkill"});
  TMohaaServerInfo server;
  test::TCurrentPlayers players(server, {{"Alice", 3}, {"Bob", 2}});
  auto buffer = TLogBuffer::Create(&server);
  buffer->SetChecker(std::make_unique<TServerLogEventChecker>([](std::string_view) { return 4; }));
  // The first piece ends in the middle of a line: the queue keeps two lines.
  buffer->AddText("Alice was gunned ");
  buffer->AddText("down by Bob\r\nAlice was sniped by Bob\nnoise");
  ASSERT_TRUE(raw.WaitCount(4));
  std::vector<std::string> texts;
  for (const auto& e : raw.Events()) {
    EXPECT_EQ(e->kind, ekNewLogFileEntry);
    texts.push_back(e->text);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"Alice was gunned ", "down by Bob", "Alice was sniped by Bob",
                                             "noise"}));
  ASSERT_TRUE(kills.WaitCount(1));
  EXPECT_EQ(kills.Events()[0]->log_entry->line, "Alice was sniped by Bob");
  EXPECT_EQ(kills.Events()[0]->variables.GetValue("Weapon").AsInteger(), 4);
}

TEST(LogBufferTest, ParserFailureIsReportedAndTheQueueGoesOn) {
  TBusScope bus(test::AllEventCategories());
  TBusRecorder global({"GLOBAL"});
  testing::TEventRecorder raw({"EVENTNewLogFileEntry"});
  auto buffer = TLogBuffer::Create(nullptr);
  buffer->SetChecker(std::make_unique<TThrowingChecker>());
  buffer->AddText("bad\ngood\n");
  ASSERT_TRUE(raw.WaitCount(2));
  EXPECT_TRUE(global.WaitFor([](const TRecordedMessage& m) {
    return m.text == "TLogBuffer failed with: parser broke On Line:bad" && m.level == mlCritical;
  }));
  EXPECT_TRUE(global.WaitForText("TLogBuffer Started"));
  buffer.reset();
  EXPECT_TRUE(global.WaitForText("TLogBuffer Stopped"));
}

// While the subscribers are behind (here: the hub does not dispatch at all)
// the queue takes no more than it may hold and its writer waits; a queue
// told to stop waiting ends promptly and hands on every line it took.
TEST(LogBufferTest, FullBusStopsTheWriterAndTheEndLosesNoLine) {
  TBusScope bus(test::AllEventCategories());
  testing::TEventRecorder raw({"EVENTNewLogFileEntry"});
  constexpr int kLines = 80'000;
  std::vector<std::string> pieces(1);
  for (int i = 0; i < kLines; ++i) {
    if (pieces.back().size() > 64 * 1024) pieces.emplace_back();
    pieces.back() += "Alice was sniped by Bob, line " + std::to_string(i) + "\r\n";
  }
  auto buffer = TLogBuffer::Create(nullptr);
  bus.Hub().HoldDispatch(true);
  std::atomic<size_t> added{0};
  std::thread writer([&] {
    for (const auto& p : pieces) {
      buffer->AddText(p);
      ++added;
    }
  });
  for (int i = 0; i < 5000 && !(BusFull() && buffer->Pending() >= TLogBuffer::kMaxQueuedBytes); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(BusFull());
  EXPECT_LT(added.load(), pieces.size());  // the writer waits
  EXPECT_LE(buffer->Pending(), TLogBuffer::kMaxQueuedBytes + pieces[0].size());

  const auto start = std::chrono::steady_clock::now();
  buffer->StopWaiting();
  writer.join();
  buffer.reset();  // hands on the rest although the bus is full
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  bus.Hub().HoldDispatch(false);
  ASSERT_TRUE(raw.WaitCount(kLines, 20000));
  const auto events = raw.Events();
  ASSERT_EQ(events.size(), static_cast<size_t>(kLines));
  for (int i = 0; i < kLines; ++i)
    ASSERT_EQ(events[i]->text, "Alice was sniped by Bob, line " + std::to_string(i));
}

// An idle queue sleeps until text arrives: its thread takes no turn of its
// own, and a text wakes it at once.
TEST(LogBufferTest, IdleQueueSleepsUntilTextArrives) {
  TBusScope bus(test::AllEventCategories());
  testing::TEventRecorder raw({"EVENTNewLogFileEntry"});
  auto buffer = TLogBuffer::Create(nullptr);
  buffer->AddText("first\n");
  ASSERT_TRUE(raw.WaitCount(1));
  const uint64_t idle = buffer->Wakeups();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a looker would look many times here
  // At most the turn of a wake that came while the first text was handled.
  EXPECT_LE(buffer->Wakeups() - idle, 1u);
  const uint64_t before = buffer->Wakeups();
  buffer->AddText("second\n");
  ASSERT_TRUE(raw.WaitCount(2, 1000));
  EXPECT_EQ(buffer->Wakeups() - before, 1u);
}

TEST(LogBufferTest, LastNewMessageTimeFollowsAddText) {
  TManualClock clock;
  SetClock(&clock);
  {
    auto buffer = TLogBuffer::Create(nullptr);
    const double start = buffer->LastNewMessageTime();
    EXPECT_EQ(start, clock.Now());
    clock.Advance(60'000);
    EXPECT_EQ(buffer->LastNewMessageTime(), start);
    buffer->AddText("x\n");
    EXPECT_EQ(buffer->LastNewMessageTime(), clock.Now());
  }
  SetClock(nullptr);
}

}  // namespace
}  // namespace kv
