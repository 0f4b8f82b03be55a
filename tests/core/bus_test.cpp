#include "core/bus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>

#include "core/bus_hub.h"
#include "core/bus_monitor.h"
#include "core/bus_scope.h"
#include "core/clock.h"
#include "core/regional.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/temp_home.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

using testing::TBusRecorder;

using namespace std::chrono_literals;

// Installs a manual clock for one test, whatever way the test ends. Declare
// it before anything whose threads read the clock.
struct TClockScope {
  TManualClock clock;
  TClockScope() { SetClock(&clock); }
  explicit TClockScope(double now) : clock(now) { SetClock(&clock); }
  ~TClockScope() { SetClock(nullptr); }
};

struct TGot {
  std::string category, text;
  uint8_t level;
  TMsgData data;
};

// A subscriber that keeps what its handlers receive. `on_message` runs in
// the handler before the message is stored (and may take the data over).
class TCollector {
 public:
  explicit TCollector(bool all, std::vector<std::string> categories = {},
                      std::function<void(TMsgData&)> on_message = nullptr)
      : on_message_(std::move(on_message)), monitor_(MakeThread<TMsgMonitor>(all)) {
    for (const auto& c : categories) monitor_->AddCategory(c);
    for (uint8_t l = 0; l < kLevelCount; ++l) {
      monitor_->SetLevelHandler(l,
                                [this](const std::string& c, const std::string& t, TMsgData& d, uint8_t lv) {
                                  if (on_message_) on_message_(d);
                                  std::lock_guard lock(mutex_);
                                  got_.push_back({c, t, lv, d});
                                  cv_.notify_all();
                                });
    }
  }
  ~TCollector() { monitor_->Stop(); }
  void Join() { GetMonitorInterface()->AddMonitor(monitor_.get()); }
  TMsgMonitor& M() { return *monitor_; }

  bool WaitCount(size_t n, int64_t ms = 5000) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return got_.size() >= n; });
  }
  bool WaitText(const std::string& text, int64_t ms = 5000) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      for (const auto& g : got_)
        if (g.text == text) return true;
      return false;
    });
  }
  std::vector<TGot> Got() {
    std::lock_guard lock(mutex_);
    return got_;
  }
  std::vector<TGot> Texts(const std::string& prefix) {
    std::vector<TGot> out;
    for (auto& g : Got())
      if (g.text.rfind(prefix, 0) == 0) out.push_back(g);
    return out;
  }

 private:
  std::function<void(TMsgData&)> on_message_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<TGot> got_;
  TThreadPtr<TMsgMonitor> monitor_;
};

// An event-like shared object that reports its destruction.
struct TProbeObject : TBusObject {
  explicit TProbeObject(std::atomic<int>* destroyed = nullptr) : destroyed_(destroyed) {}
  ~TProbeObject() override {
    if (destroyed_) ++*destroyed_;
  }
  std::atomic<int>* destroyed_;
  int handled = 0;
  std::atomic<int> inside{0};
};

// A subscriber gives its object back right after its handler returns; wait
// (bounded) for the last one to do so.
bool WaitNoObjects(TObjectManager& mgr) {
  return testing::WaitFor([&] { return mgr.Count() == 0; });
}

class BusTest : public ::testing::Test {
 protected:
  TBusScope bus_{{{"GLOBAL", kDataPointer}, {"EVENTkill", kDataObject}, {"Block", 4}}};
  TMsgMonitorInterface& Hub() { return bus_.Hub(); }
  // Records pass the hub in posting order, so once a later marker has
  // reached `sink` the hub has dispatched everything posted before it.
  static void Sync(TCollector& sink, const std::string& category = "GLOBAL") {
    static std::atomic<int> n{0};
    const std::string marker = "sync " + std::to_string(++n);
    ASSERT_TRUE(PostMonitorMessage(category, marker, mlInformation));
    ASSERT_TRUE(sink.WaitText(marker));
  }
};

TEST(BusNoHub, PostingWithoutAHubReturnsFalse) {
  ASSERT_EQ(GetMonitorInterface(), nullptr);
  EXPECT_FALSE(PostGlobal("nobody listens", mlInformation));
}

TEST_F(BusTest, GlobalReachesASubscriberOfGlobalInItsOwnSpelling) {
  TCollector sub(false, {"Global"});
  sub.Join();
  EXPECT_TRUE(PostMonitorMessage("GLOBAL", "hello", mlWarning));
  ASSERT_TRUE(sub.WaitCount(1));
  const auto got = sub.Got();
  EXPECT_EQ(got[0].category, "Global");
  EXPECT_EQ(got[0].text, "hello");
  EXPECT_EQ(got[0].level, mlWarning);
}

TEST_F(BusTest, UnregisteredCategoryGetsTheUndeliverableNotice) {
  TCollector all(true);
  all.Join();
  TMsgData block = std::vector<uint8_t>{1, 2, 3};
  EXPECT_FALSE(PostMonitorMessage("Nowhere", "lost text", mlInformation, std::move(block)));
  const std::string notice =
      "Meldung (\"lost text\") wird nicht verschickt. Category \"Nowhere\" nicht registriert.";
  ASSERT_TRUE(all.WaitText(notice));
  for (const auto& g : all.Got()) {
    EXPECT_NE(g.category, "Nowhere");
    if (g.text == notice) {
      EXPECT_EQ(g.category, "MonitorInterface");
      EXPECT_EQ(g.level, mlError);
    }
  }
  // No notice about a notice: a lost "MonitorInterface" record just goes.
  Hub().UnregisterCategory("MonitorInterface");
  EXPECT_FALSE(PostMonitorMessage("monitorinterface", "x", mlInformation));
  Hub().RegisterCategory("MonitorInterface", kMonitorInterfaceKind);
  Sync(all);
  EXPECT_TRUE(all.Texts("Meldung (\"x\")").empty());
}

TEST_F(BusTest, FiltersByCeilingLevelAndCategory) {
  TCollector sub(false, {"GLOBAL"});
  sub.M().SetCeiling(mlWarning, 10);
  sub.M().SetLevelAccepted(mlDebug, false);
  sub.Join();
  struct TCase {
    const char* category;
    uint8_t level;
    int32_t value;
    bool delivered;
  } cases[] = {
      {"GLOBAL", mlWarning, 10, true},   // at the ceiling
      {"GLOBAL", mlWarning, 11, false},  // above it
      {"GLOBAL", mlError, 1000, true},   // other levels keep the largest ceiling
      {"GLOBAL", mlDebug, 0, false},     // level not accepted
      {"GLOBAL", 8, 0, false},           // no such level
      {"Block", mlWarning, 0, false},    // category not subscribed
  };
  for (const auto& c : cases)
    PostMonitorMessage(c.category, c.category + std::to_string(c.level) + "/" + std::to_string(c.value),
                       c.level, {}, c.value);
  Sync(sub);
  std::vector<std::string> expected, got;
  for (const auto& c : cases)
    if (c.delivered) expected.push_back(c.category + std::to_string(c.level) + "/" + std::to_string(c.value));
  for (const auto& g : sub.Got())
    if (g.text.rfind("sync", 0) != 0) got.push_back(g.text);
  EXPECT_EQ(got, expected);
}

TEST_F(BusTest, EverySubscriberSeesPostingOrder) {
  TCollector a(false, {"GLOBAL"}), b(true);
  a.Join();
  b.Join();
  constexpr int kCount = 2000;
  for (int i = 0; i < kCount; ++i) ASSERT_TRUE(PostGlobal(std::to_string(i), mlInformation));
  ASSERT_TRUE(a.WaitCount(kCount));
  ASSERT_TRUE(b.WaitText(std::to_string(kCount - 1)));
  for (TCollector* s : {&a, &b}) {
    int next = 0;
    for (const auto& g : s->Got()) {
      if (g.category == "MonitorInterface") continue;
      EXPECT_EQ(g.text, std::to_string(next++));
    }
    EXPECT_EQ(next, kCount);
  }
}

TEST_F(BusTest, CategoryRegisteredAfterPostingArrivesWithoutData) {
  TCollector sub(false, {"Late"});
  sub.Join();
  Hub().HoldDispatch(true);
  EXPECT_FALSE(PostMonitorMessage("Late", "early bird", mlInformation, std::vector<uint8_t>{9, 9}));
  Hub().RegisterCategory("Late", 2);
  Hub().HoldDispatch(false);
  ASSERT_TRUE(sub.WaitText("early bird"));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(sub.Got()[0].data));
}

TEST_F(BusTest, LongCategoryNamesAreCutTo100Characters) {
  const std::string name100(100, 'c');
  const std::string name120 = name100 + std::string(20, 'x');
  TCollector all(true);
  all.Join();
  EXPECT_FALSE(PostMonitorMessage(name120, "too long", mlInformation));
  ASSERT_TRUE(all.WaitText("Meldung (\"too long\") wird nicht verschickt. Category \"" + name100 +
                           "\" nicht registriert."));
  Hub().RegisterCategory(name100, kDataPointer);
  EXPECT_TRUE(PostMonitorMessage(name120, "cut", mlInformation));
  ASSERT_TRUE(all.WaitText("cut"));
  for (const auto& g : all.Got())
    if (g.text == "cut") {
      EXPECT_EQ(g.category, name100);
    }
}

TEST_F(BusTest, ObjectNobodyWantsIsFreedByTheHub) {
  TCollector sink(false, {"GLOBAL"});
  sink.Join();
  std::atomic<int> destroyed{0};
  EXPECT_TRUE(
      PostMonitorMessage("EVENTkill", "kill", mlInformation, std::make_shared<TProbeObject>(&destroyed)));
  Sync(sink);
  EXPECT_EQ(destroyed.load(), 1);
  EXPECT_EQ(Hub().Objects().Count(), 0u);
}

TEST_F(BusTest, SharedObjectIsHandledByOneSubscriberAtATime) {
  // Declared first: the collectors keep objects whose destructor counts here.
  std::atomic<int> destroyed{0};
  std::atomic<int> overlaps{0};
  auto handle = [&](TMsgData& d) {
    auto obj = std::static_pointer_cast<TProbeObject>(std::get<std::shared_ptr<TBusObject>>(d));
    if (obj->inside.fetch_add(1) != 0) ++overlaps;
    // Widen the window in which an unguarded second handler would overlap.
    std::this_thread::sleep_for(2ms);
    ++obj->handled;  // not atomic: the entry lock is what protects it
    obj->inside.fetch_sub(1);
  };
  TCollector a(false, {"Eventkill"}, handle), b(false, {"EVENTKILL"}, handle);
  a.Join();
  b.Join();
  std::vector<std::weak_ptr<TProbeObject>> objects;
  for (int i = 0; i < 20; ++i) {
    auto obj = std::make_shared<TProbeObject>(&destroyed);
    objects.push_back(obj);
    ASSERT_TRUE(PostMonitorMessage("EVENTkill", "kill", mlInformation, obj));
  }
  ASSERT_TRUE(a.WaitCount(20));
  ASSERT_TRUE(b.WaitCount(20));
  EXPECT_EQ(overlaps.load(), 0);
  for (const auto& g : a.Got()) {
    auto obj = std::static_pointer_cast<TProbeObject>(std::get<std::shared_ptr<TBusObject>>(g.data));
    EXPECT_EQ(obj->handled, 2);
  }
  EXPECT_EQ(a.Got()[0].category, "Eventkill");
  EXPECT_EQ(b.Got()[0].category, "EVENTKILL");
  // The collectors keep copies; the bus itself holds nothing any more.
  EXPECT_TRUE(WaitNoObjects(Hub().Objects()));
  EXPECT_EQ(destroyed.load(), 0);
}

TEST_F(BusTest, ObjectTakenOverSurvivesWhoeverReleasesLast) {
  // One of two subscribers takes the object over, the other keeps nothing.
  // Whichever of them releases last, the object lives as long as the taker
  // holds it, and no longer.
  for (bool taker_first : {true, false}) {
    std::shared_ptr<TBusObject> kept;
    std::function<void(TMsgData&)> take = [&](TMsgData& d) {
      kept = std::move(std::get<std::shared_ptr<TBusObject>>(d));
      d = std::monostate{};
    };
    std::function<void(TMsgData&)> ignore = [](TMsgData& d) { d = std::monostate{}; };
    std::promise<void> early_done;
    auto early_f = early_done.get_future().share();
    auto early_fn = [&, f = taker_first ? take : ignore](TMsgData& d) {
      f(d);
      early_done.set_value();
    };
    // The late subscriber is held on a GLOBAL "gate" message (no object lock
    // held) until the early one has released the object.
    auto late_fn = [&, f = taker_first ? ignore : take](TMsgData& d) {
      if (std::holds_alternative<std::monostate>(d)) {
        early_f.wait_for(5s);
        return;
      }
      f(d);
    };
    std::atomic<int> destroyed{0};
    {
      TCollector early(false, {"EVENTkill"}, early_fn), late(false, {"GLOBAL", "EVENTkill"}, late_fn);
      early.Join();
      late.Join();
      ASSERT_TRUE(PostGlobal("gate", mlInformation));
      ASSERT_TRUE(
          PostMonitorMessage("EVENTkill", "kill", mlInformation, std::make_shared<TProbeObject>(&destroyed)));
      ASSERT_TRUE(early.WaitCount(1));
      ASSERT_TRUE(late.WaitCount(2));
      EXPECT_TRUE(WaitNoObjects(Hub().Objects()));
    }
    ASSERT_NE(kept, nullptr) << "taker_first=" << taker_first;
    EXPECT_EQ(destroyed.load(), 0) << "taker_first=" << taker_first;
    kept.reset();
    EXPECT_EQ(destroyed.load(), 1) << "taker_first=" << taker_first;
  }
}

TEST_F(BusTest, BlocksAreCopiedPerSubscriberAndPointersShared) {
  std::vector<uint8_t> taken;
  TCollector a(false, {"Block"}, [&](TMsgData& d) {
    auto& v = std::get<std::vector<uint8_t>>(d);
    v[0] = 99;  // scribbling on its own copy only
    taken = std::move(v);
    d = std::monostate{};
  });
  TCollector b(false, {"Block", "GLOBAL"});
  a.Join();
  b.Join();
  ASSERT_TRUE(PostMonitorMessage("Block", "b", mlInformation, std::vector<uint8_t>{1, 2, 3, 4}));
  int token = 0;
  ASSERT_TRUE(PostMonitorMessage("GLOBAL", "p", mlInformation, static_cast<void*>(&token)));
  ASSERT_TRUE(a.WaitCount(1));
  ASSERT_TRUE(b.WaitCount(2));
  EXPECT_EQ(taken, (std::vector<uint8_t>{99, 2, 3, 4}));
  EXPECT_EQ(std::get<std::vector<uint8_t>>(b.Got()[0].data), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(std::get<void*>(b.Got()[1].data), &token);
}

TEST_F(BusTest, AllCategoriesSubscriberListsCategoriesBeforeAndAfterJoining) {
  TCollector early(true);
  early.Join();
  EXPECT_TRUE(early.M().Categories().size() >= 3);  // registered before it joined
  Hub().RegisterCategory("Fresh", kDataPointer);
  ASSERT_TRUE(early.WaitText("New Category:[Fresh]"));
  Sync(early);  // the notice has been handled, not just queued
  const auto cats = early.M().Categories();
  EXPECT_NE(std::find(cats.begin(), cats.end(), "Fresh"), cats.end());
  TCollector late(true);
  late.Join();
  const auto late_cats = late.M().Categories();
  EXPECT_NE(std::find(late_cats.begin(), late_cats.end(), "Fresh"), late_cats.end());
}

TEST_F(BusTest, ProviderCountingAndHubNotices) {
  TCollector all(true);
  all.Join();
  Hub().RegisterCategory("Twice", kDataPointer);
  Hub().RegisterCategory("TWICE", 7);  // another provider; the kind stays
  int32_t kind = -5;
  ASSERT_TRUE(Hub().IsRegistered("twice", &kind));
  EXPECT_EQ(kind, kDataPointer);
  Hub().UnregisterCategory("Twice");
  EXPECT_TRUE(Hub().IsRegistered("Twice"));
  Hub().UnregisterCategory("Twice");
  EXPECT_FALSE(Hub().IsRegistered("Twice"));
  Hub().UnregisterCategory("Twice");  // unknown: ignored, no notice
  TCollector other(false, {});
  other.Join();
  other.M().Stop();
  Sync(all);
  std::vector<std::string> notices;
  for (const auto& g : all.Got()) {
    if (g.category != "MonitorInterface") continue;
    EXPECT_EQ(g.level, mlChange);
    ASSERT_TRUE(std::holds_alternative<std::vector<uint8_t>>(g.data));
    EXPECT_EQ(std::get<std::vector<uint8_t>>(g.data).size(), 256u);
    if (g.text.find("wice") != std::string::npos) {
      EXPECT_EQ(NoticeBlockName(g.data), "Twice");
    }
    notices.push_back(g.text);
  }
  char id[32];
  std::snprintf(id, sizeof id, "%04llX", static_cast<unsigned long long>(other.M().ThreadId()));
  const std::vector<std::string> expected = {
      "New Category:[Twice]",      "Added Category Provider:[TWICE]", "Lost Category Provider: [Twice]",
      "Deleted Category: [Twice]", std::string("New Monitor:") + id,  std::string("Lost Monitor:") + id};
  // The collector's own "New Monitor" notice comes first.
  ASSERT_EQ(notices.size(), expected.size() + 1);
  EXPECT_EQ(std::vector<std::string>(notices.begin() + 1, notices.end()), expected);
  EXPECT_EQ(notices[0].rfind("New Monitor:", 0), 0u);
}

TEST(BusFormat, OptionsAndDataFormatter) {
  TClockScope time(regional::EncodeDate(2024, 3, 5) + 0.5);
  TManualClock& clock = time.clock;
  TMsgMonitor m(false);  // never started: formatting needs no thread
  const std::string now = regional::DateTimeToStr(clock.Now());
  struct TCase {
    bool time, category, level;
    std::string expected;
  } cases[] = {
      {false, false, false, "text"},
      {true, false, false, now + " - : text"},
      {false, true, false, "GLOBAL: text"},
      {false, false, true, " (Warnung): text"},
      {true, true, true, now + " - GLOBAL (Warnung): text"},
  };
  for (const auto& c : cases) {
    m.SetShowTime(c.time);
    m.SetShowCategory(c.category);
    m.SetShowLevelName(c.level);
    EXPECT_EQ(m.FormatMessage("GLOBAL", "text", mlWarning, {}), c.expected);
  }
  m.SetShowTime(false);
  m.SetShowCategory(false);
  m.SetShowLevelName(false);
  m.SetDataFormatter(
      mlWarning, [](const TMsgData& d) { return std::to_string(std::get<std::vector<uint8_t>>(d).size()); });
  EXPECT_EQ(m.FormatMessage("GLOBAL", "text", mlWarning, std::vector<uint8_t>(3)), "text [3]");
  EXPECT_EQ(m.FormatMessage("GLOBAL", "text", mlWarning, {}), "text");  // formatter threw: nothing added
  EXPECT_EQ(m.FormatMessage("GLOBAL", "text", mlError, std::vector<uint8_t>(3)), "text");  // other level
  EXPECT_STREQ(LevelName(mlChange), "\xC4nderung");
  EXPECT_STREQ(LevelName(8), "");
}

TEST_F(BusTest, HandlerExceptionCostsOnlyItsRecord) {
  std::atomic<int> calls{0};
  TCollector sub(false, {"GLOBAL"});
  sub.M().SetLevelHandler(mlError, [&](const std::string&, const std::string&, TMsgData&, uint8_t) {
    ++calls;
    throw std::runtime_error("handler broke");
  });
  sub.Join();
  PostGlobal("bad", mlError);
  PostGlobal("good", mlInformation);
  ASSERT_TRUE(sub.WaitText("good"));
  EXPECT_EQ(calls.load(), 1);
}

TEST_F(BusTest, SynchronisedSubscriberRunsOnTheLoopAndStopsFromIt) {
  std::atomic<int> on_loop{0}, off_loop{0};
  TCollector sub(false, {"GLOBAL"}, [&](TMsgData&) { ++(bus_.Loop().IsLoopThread() ? on_loop : off_loop); });
  sub.M().SetSynchronised(true);
  sub.Join();
  TCollector witness(false, {"GLOBAL"});
  witness.Join();
  ASSERT_TRUE(PostGlobal("one", mlInformation));
  ASSERT_TRUE(sub.WaitText("one"));
  // From a loop task: post two more and wait until the hub has handed them
  // out, so the subscriber is waiting for the (busy) loop; then stop it from
  // the loop itself. Stop must keep the loop serving, or this deadlocks.
  bool finished = false;
  ASSERT_TRUE(bus_.Loop().Invoke([&] {
    PostGlobal("two", mlInformation);
    PostGlobal("three", mlInformation);
    ASSERT_TRUE(witness.WaitText("three"));
    sub.M().Stop();
    finished = sub.M().Finished();
  }));
  EXPECT_TRUE(finished);
  EXPECT_TRUE(sub.WaitText("three", 0));  // queued before Stop: still handled
  EXPECT_EQ(on_loop.load(), 3);
  EXPECT_EQ(off_loop.load(), 0);
}

// Flow control: while the queues hold kBusLoadLimit bytes an ordinary
// poster waits, but only so long, and nothing is dropped; every record's
// share of the load is given back once it has been handled.
TEST_F(BusTest, FullBusHoldsAnOrdinaryPosterForABoundedTimeAndDropsNothing) {
  constexpr int32_t kBlock = 1 << 20;
  Hub().RegisterCategory("Big", kBlock);
  TCollector sink(false, {"Big", "GLOBAL"});
  sink.Join();
  Hub().HoldDispatch(true);
  size_t posted = 0;
  for (; !BusFull(); ++posted)
    ASSERT_TRUE(PostMonitorMessage("Big", "block", mlInformation, std::vector<uint8_t>(kBlock)));
  EXPECT_FALSE(WaitForBusRoom(20));
  EXPECT_FALSE(WaitForBusRoom(-1, [] { return true; }));  // its stop condition ends it
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(PostGlobal("late", mlInformation));  // waited, then queued all the same
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kBusPostWaitMs));
  Hub().HoldDispatch(false);
  EXPECT_TRUE(WaitForBusRoom(5000));
  ASSERT_TRUE(sink.WaitText("late"));
  ASSERT_TRUE(sink.M().Flush(5000));
  EXPECT_EQ(sink.Got().size(), posted + 1);
  EXPECT_EQ(BusLoad(), 0);
}

// A handler, or the main loop running a synchronised one, is what empties
// the queues: its posts into a full bus must not wait.
TEST_F(BusTest, HandlersAndTheMainLoopPostIntoAFullBusWithoutWaiting) {
  constexpr int32_t kBlock = 128 << 10;
  Hub().RegisterCategory("Big", kBlock);
  for (bool synchronised : {false, true}) {
    TCollector echo(false, {"Big"}, [](TMsgData&) { PostGlobal("echo", mlInformation); });
    echo.M().SetSynchronised(synchronised);
    echo.Join();
    Hub().HoldDispatch(true);
    size_t posted = 0;
    for (; !BusFull(); ++posted)
      ASSERT_TRUE(PostMonitorMessage("Big", "block", mlInformation, std::vector<uint8_t>(kBlock)));
    const auto start = std::chrono::steady_clock::now();
    Hub().HoldDispatch(false);
    ASSERT_TRUE(echo.WaitCount(posted, 20000));
    // Had the echoes waited, half of them would have taken kBusPostWaitMs.
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(posted * kBusPostWaitMs / 4))
        << "synchronised=" << synchronised;
  }
}

TEST_F(BusTest, HandlerMayStopItsOwnSubscriber) {
  for (bool synchronised : {false, true}) {
    TMsgMonitor* self = nullptr;
    TCollector sub(false, {"GLOBAL"}, [&](TMsgData&) { self->Stop(); });
    self = &sub.M();
    sub.M().SetSynchronised(synchronised);
    sub.Join();
    ASSERT_TRUE(PostGlobal("stop yourself", mlInformation));
    ASSERT_TRUE(sub.M().WaitFinished(5000)) << "synchronised=" << synchronised;
    EXPECT_EQ(Hub().MonitorCount(), 0u);
  }
}

TEST_F(BusTest, StopBoundIsKeptAndClaimsOfDiscardedRecordsAreReturned) {
  std::promise<void> entered, release;
  auto release_f = release.get_future().share();
  bool first = true;
  TCollector slow(false, {"EVENTkill"}, [&](TMsgData&) {
    if (std::exchange(first, false)) {
      entered.set_value();
      release_f.wait();
    }
  });
  slow.Join();
  std::vector<std::shared_ptr<TProbeObject>> objs;
  for (int i = 0; i < 3; ++i) {
    objs.push_back(std::make_shared<TProbeObject>());
    ASSERT_TRUE(PostMonitorMessage("EVENTkill", "kill", mlInformation, objs.back()));
  }
  entered.get_future().wait();
  auto stopping = std::async(std::launch::async, [&] { slow.M().Stop(50); });
  // After the 50 ms bound the two waiting records are discarded; only the
  // record in hand is waited for.
  EXPECT_TRUE(testing::WaitFor([&] { return slow.M().Discarding(); }));
  release.set_value();
  ASSERT_EQ(stopping.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(slow.Got().size(), 1u);
  EXPECT_EQ(Hub().Objects().Count(), 0u);  // Stop has joined: every claim is back
}

TEST(BusLifecycle, StopUnpublishesAndLaterPostsFail) {
  TBusScope bus;
  auto hub = GetMonitorInterface();
  ASSERT_NE(hub, nullptr);
  EXPECT_TRUE(PostGlobal("before", mlInformation));
  EXPECT_THROW(TMsgMonitorInterface::Create(nullptr), EBusError);  // one hub at a time
  hub->Stop();
  EXPECT_EQ(GetMonitorInterface(), nullptr);
  EXPECT_FALSE(PostGlobal("after", mlInformation));
  EXPECT_FALSE(hub->IsRegistered("GLOBAL"));
  EXPECT_FALSE(hub->IsRegistered("MonitorInterface"));
}

TEST(BusObjects, PurgeRemovesOldEntriesButNotOneInUse) {
  TClockScope time;
  TObjectManager mgr;
  auto a = std::make_shared<TProbeObject>(), b = std::make_shared<TProbeObject>();
  const uint64_t ha = mgr.RegisterObject(a, 2), hb = mgr.RegisterObject(b, 1);
  EXPECT_NE(ha, hb);
  EXPECT_EQ(mgr.RegisterObject(a, 1), ha);  // same object, same entry
  EXPECT_EQ(mgr.References(ha), 3);
  time.clock.Advance(TObjectManager::kMaxAgeMs - 1);
  EXPECT_EQ(mgr.Purge(), 0u);
  EXPECT_EQ(mgr.LockObject(hb), b);  // in use: a purge must leave it alone
  time.clock.Advance(1);
  std::thread other([&] { EXPECT_EQ(mgr.Purge(), 1u); });  // another thread, as the main loop would
  other.join();
  EXPECT_EQ(mgr.References(ha), -1);
  EXPECT_EQ(mgr.References(hb), 1);
  mgr.ReleaseObject(hb);
  EXPECT_EQ(mgr.Count(), 0u);
  try {
    mgr.LockObject(ha);
    FAIL() << "purged handle was found";
  } catch (const EBusError& e) {
    EXPECT_EQ(std::string(e.what()), "Object for Handle " + std::to_string(ha) + " not found");
  }
}

TEST(BusObjects, ReRegistrationRenewsTheAge) {
  TClockScope time;
  TObjectManager mgr;
  auto a = std::make_shared<TProbeObject>();
  const uint64_t h = mgr.RegisterObject(a, 1);
  time.clock.Advance(TObjectManager::kMaxAgeMs - 1000);
  mgr.RegisterObject(a, 1);  // posted again
  time.clock.Advance(1000);
  EXPECT_EQ(mgr.Purge(), 0u);
  EXPECT_EQ(mgr.References(h), 2);
}

TEST(BusObjects, PurgeRunsOnTheMainLoopTimer) {
  TClockScope time;  // outlives the bus and its loop
  TBusScope bus;
  auto obj = std::make_shared<TProbeObject>();
  const uint64_t h = bus.Hub().Objects().RegisterObject(obj, 1);
  time.clock.Advance(TObjectManager::kPurgeIntervalMs);
  ASSERT_TRUE(bus.Loop().Invoke([] {}));            // due timers run before tasks
  EXPECT_EQ(bus.Hub().Objects().References(h), 1);  // purged only once 600 s old
  time.clock.Advance(TObjectManager::kMaxAgeMs);
  ASSERT_TRUE(bus.Loop().Invoke([] {}));
  EXPECT_EQ(bus.Hub().Objects().References(h), -1);
}

// ---- TFileMonitor ----

class FileMonitorTest : public ::testing::Test {
 protected:
  static std::string Read(const std::filesystem::path& p) { return testing::ReadFileText(p); }
  TClockScope time_;  // declared before the bus: outlives its threads
  TBusScope bus_;
  testing::TTempHome dir_{"bus-files"};
};

TEST_F(FileMonitorTest, HeadersLinesAndSwitchingFiles) {
  const std::string now = regional::DateTimeToStr(time_.clock.Now());
  const std::string started =
      "\r\n\r\nLog gestartet: " + now + " Betriebssystem: " + OperatingSystemText() + "\r\n";
  const std::string ended = "Log beendet: " + now + "\r\n";
  const auto a = dir_ / "a.txt", b = dir_ / "b.txt";
  {
    std::ofstream(a, std::ios::binary) << "old\r\n";  // existing files are appended to
    auto fm = MakeThread<TFileMonitor>(false);
    fm->AddCategory("GLOBAL");
    fm->SetShowLevelName(true);
    fm->SetLogFile(mlInformation, a.string());
    fm->SetLogFile(mlError, a.string());        // shares the open file
    fm->SetLogFile(mlInformation, a.string());  // same name: nothing happens
    GetMonitorInterface()->AddMonitor(fm.get());
    TBusRecorder done({"GLOBAL"});
    PostGlobal("one", mlInformation);
    PostGlobal("two", mlError);
    PostGlobal("dropped", mlWarning);  // no file for this level
    PostGlobal("sync", mlDebug);
    ASSERT_TRUE(done.WaitForText("sync"));
    fm->Stop();  // everything queued before is written
    fm->SetLogFile(mlError, b.string());
    EXPECT_EQ(Read(a),
              "old\r\n" + started + " (Information): one\r\n (Fehler): two\r\n");  // level 1 still open
    fm->SetLogFile(mlInformation, "");
  }
  EXPECT_EQ(Read(a), "old\r\n" + started + " (Information): one\r\n (Fehler): two\r\n" + ended);
  EXPECT_EQ(Read(b), started + ended);
}

TEST_F(FileMonitorTest, FileLockedByAnotherWriterLeavesTheLevelWithoutFile) {
  const auto a = dir_ / "locked.txt";
  auto first = MakeThread<TFileMonitor>(false);
  first->SetLogFile(mlError, a.string());
  ASSERT_TRUE(first->HasLogFile(mlError));
  auto second = MakeThread<TFileMonitor>(false);
  second->SetLogFile(mlError, a.string());
  EXPECT_FALSE(second->HasLogFile(mlError));
  second->SetLogFile(mlError, (dir_ / "no_such_dir" / "x.txt").string());
  EXPECT_FALSE(second->HasLogFile(mlError));
}

}  // namespace
}  // namespace kv
