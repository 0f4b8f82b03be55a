// Event messages: EventMessages.dat byte for byte and when damaged, and the
// controller at work against mohsim over loopback UDP on a manual clock —
// arrivals of real status polls greeted after their delay, players who left
// or changed their nick left alone, the filters on kills, the switch.
#include "automation/event_messages.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "core/stream.h"
#include "enforcement/templates.h"
#include "gamelink/console.h"
#include "tests/players/tracker_fixture.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/wait.h"

namespace kv::testing {
namespace {

void Str(std::string& out, const std::string& s) {
  TMemoryStream m;
  m.WriteLString(s);
  out += m.Str();
}
void Int(std::string& out, int32_t v) {
  TMemoryStream m;
  m.WriteInt32(v);
  out += m.Str();
}

// The layout written out field by field, independently of the writer.
std::string Record(const TMohaaMessage& m) {
  std::string b;
  for (const auto* s : {&m.text, &m.player1_filter, &m.player2_filter, &m.time_filter, &m.description_filter,
                        &m.weapon_filter})
    Str(b, *s);
  Int(b, m.delay);
  b += static_cast<char>(m.kind);
  b += static_cast<char>(m.expand_when_sent ? 1 : 0);
  b += static_cast<char>(m.only_if_online ? 1 : 0);
  for (const auto* s : {&m.player1_exclusion, &m.player2_exclusion, &m.time_exclusion,
                        &m.description_exclusion, &m.weapon_exclusion})
    Str(b, *s);
  return b;
}

TMohaaMessage Greeting() {
  TMohaaMessage m;
  m.kind = ekNewUser;
  m.text = "Welcome %playernick%";
  m.delay = 10;
  m.player1_exclusion = "^Bot";
  m.only_if_online = true;
  return m;
}

TMohaaMessage RifleKill() {
  TMohaaMessage m;
  m.kind = ekKill;
  m.text = "Nice shot \xE4";
  m.weapon_filter = "Rifle";
  m.weapon_exclusion = "Sniper";
  m.player2_filter = "^Sam$";
  m.expand_when_sent = true;
  return m;
}

TEST(EventMessagesFile, WritesTheLayoutAndReadsItBack) {
  const std::vector<TMohaaMessage> two = {Greeting(), RifleKill()};
  std::string expected;
  Int(expected, 2);
  expected += Record(two[0]) + Record(two[1]);
  TMemoryStream out;
  WriteEventMessagesFile(out, two);
  EXPECT_EQ(out.Str(), expected);

  TMemoryStream in(expected);
  std::vector<TMohaaMessage> read;
  ReadEventMessagesFile(in, read);
  EXPECT_EQ(read, two);
}

TEST(EventMessagesFile, DamagedFilesKeepWhatWasReadAndSaySo) {
  std::string one;
  Int(one, 1);
  one += Record(Greeting());
  std::string absurd_count;  // two billion messages announced, one there
  Int(absurd_count, 2'000'000'000);
  absurd_count += Record(Greeting());
  std::string absurd_length;  // a text of 1 GB announced
  Int(absurd_length, 1);
  Int(absurd_length, 1'000'000'000);
  std::string negative;
  Int(negative, -3);
  const struct {
    const char* what;
    std::string bytes;
    size_t kept;
  } cases[] = {
      {"count cut short", "\x01\x00", 0},
      {"negative count", negative, 0},
      {"more announced than held", absurd_count, 1},
      {"record cut in the middle", one.substr(0, one.size() - 3), 0},
      {"absurd length", absurd_length, 0},
  };
  for (const auto& c : cases) {
    TMemoryStream in(c.bytes);
    std::vector<TMohaaMessage> read;
    try {
      ReadEventMessagesFile(in, read);
      ADD_FAILURE() << c.what << ": no error";
    } catch (const EStreamError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(kEventMessagesLoadError, 0), 0u) << c.what << ": " << e.what();
    }
    EXPECT_EQ(read.size(), c.kept) << c.what;
  }
  TMemoryStream empty;
  std::vector<TMohaaMessage> none;
  ReadEventMessagesFile(empty, none);
  EXPECT_TRUE(none.empty());
}

class EventMessagesTest : public TrackerTest {
 protected:
  EventMessagesTest() : recorder_({"GLOBAL", EventCategory(ekMessageEventListChanged)}) {
    CreateLastConsoleMsgs(info_);
    InstallPlaceholderExpander(info_);
    config_.SetInteger("UDPTimeOut", 1);
  }
  ~EventMessagesTest() override {
    controller_.Close();
    if (tracker_) tracker_->Close();
    DestroyLastConsoleMsgs(info_);
    SetMessageExpander(info_, nullptr);
  }
  std::vector<std::string> Said() const {
    std::vector<std::string> out;
    for (const auto& c : sim_.Commands())
      if (c.rfind("Say ", 0) == 0) out.push_back(c);
    return out;
  }
  // Moves the clock and waits until the controller has said what became due.
  void Advance(int64_t ms) {
    clock_.Advance(ms);
    ASSERT_TRUE(controller_.Flush(10000));
  }
  std::shared_ptr<TMohaaEvent> Kill(const std::string& victim, const std::string& killer, int weapon_class) {
    auto e = std::make_shared<TMohaaEvent>(ekKill, "killed");
    e->time = clock_.Now();
    e->log_entry = std::make_unique<TLogEntry>();
    e->log_entry->first_player = Row(1, victim, "10.0.0.1");
    e->log_entry->second_player = Row(2, killer, "10.0.0.2");
    e->variables.SetValue("Weapon", TVariant(int32_t{weapon_class}));
    return e;
  }

  TBusRecorder recorder_;
  TEventMessageController controller_{runtime_};
};

TEST_F(EventMessagesTest, ArrivalsAreGreetedAfterTheDelayUnlessTheyLeftOrChangedTheirNick) {
  OpenTracker();
  controller_.Add(Greeting());
  controller_.Open();

  sim_.Join("Bob", "10.0.0.2");
  sim_.Join("Bot Ben", "10.0.0.3");  // excluded by the definition
  Poll();
  ASSERT_TRUE(controller_.Flush(10000));
  EXPECT_EQ(controller_.Pending(), 1u);
  Advance(9'999);
  EXPECT_TRUE(Said().empty());
  Advance(1);
  ASSERT_TRUE(WaitFor([&] { return Said().size() == 1; }));
  EXPECT_EQ(Said()[0], "Say \"Welcome Bob\"");

  // Carl leaves before his greeting is due; Dora is Dorothea by then.
  sim_.Join("Carl", "10.0.0.4");
  sim_.Join("Dora", "10.0.0.5");
  Poll();
  ASSERT_TRUE(controller_.Flush(10000));
  EXPECT_EQ(controller_.Pending(), 2u);
  sim_.Leave("Carl");
  ASSERT_TRUE(sim_.Rename("Dora", "Dorothea"));
  Poll();
  Advance(10'000);
  EXPECT_EQ(controller_.Pending(), 0u);
  EXPECT_EQ(Said().size(), 1u);
}

TEST_F(EventMessagesTest, KillsAreFilteredByWeaponAndSecondPlayerAndTheSwitchDropsWhatWaits) {
  controller_.Open();
  controller_.Add(RifleKill());
  PostEvent(Kill("Vic", "Sam", wcRifle));
  PostEvent(Kill("Vic", "Sam", wcSniper));  // excluded weapon
  PostEvent(Kill("Vic", "Tom", wcRifle));   // other killer
  ASSERT_TRUE(controller_.Flush(10000));
  ASSERT_TRUE(WaitFor([&] { return Said().size() == 1; }));
  EXPECT_EQ(Said()[0], "Say \"Nice shot \xE4\"");

  // A delayed one waits; the switch drops it at the next event.
  TMohaaMessage later = RifleKill();
  later.delay = 60;
  controller_.Add(later);
  PostEvent(Kill("Vic", "Sam", wcRifle));
  ASSERT_TRUE(WaitFor([&] { return Said().size() == 2; }));
  ASSERT_TRUE(controller_.Flush(10000));
  EXPECT_EQ(controller_.Pending(), 1u);
  config_.SetBool("StopEventMessage", true);
  PostEvent(Kill("Vic", "Sam", wcRifle));
  ASSERT_TRUE(controller_.Flush(10000));
  EXPECT_EQ(controller_.Pending(), 0u);
  Advance(60'000);
  EXPECT_EQ(Said().size(), 2u);
}

TEST_F(EventMessagesTest, ABrokenFilterIsReportedOnceAndNeverMatches) {
  controller_.Open();
  TMohaaMessage broken = RifleKill();
  broken.player1_filter = "([unclosed";
  controller_.Add(broken);
  ASSERT_TRUE(recorder_.WaitFor([](const TRecordedMessage& m) {
    return m.level == mlCritical &&
           m.text.rfind("TEventMessageController Execute failed with: invalid expression [([unclosed]", 0) ==
               0;
  }));
  PostEvent(Kill("Vic", "Sam", wcRifle));
  ASSERT_TRUE(controller_.Flush(10000));
  EXPECT_EQ(controller_.Pending(), 0u);
  EXPECT_TRUE(Said().empty());
  EXPECT_EQ(controller_.Definitions().size(), 1u);  // kept for the operator to mend
}

TEST_F(EventMessagesTest, LoadingTellsTheListChangedOnlyForARealList) {
  TMemoryStream empty;
  controller_.Load(empty);
  std::string bytes;
  Int(bytes, 2);
  bytes += Record(Greeting());  // the second record is missing
  TMemoryStream damaged(bytes);
  EXPECT_THROW(controller_.Load(damaged), EStreamError);
  EXPECT_EQ(controller_.Definitions().size(), 1u);
  TMemoryStream good;
  WriteEventMessagesFile(good, {Greeting(), RifleKill()});
  good.Seek(0);
  controller_.Load(good);
  EXPECT_EQ(controller_.Definitions().size(), 2u);
  ASSERT_TRUE(recorder_.Flush());
  EXPECT_EQ(recorder_.CountText("MessageEventListChanged"), 1u);
}

}  // namespace
}  // namespace kv::testing
