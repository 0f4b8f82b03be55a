#include "core/threads.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/bus_scope.h"
#include "tests/support/bus_recorder.h"

namespace kv {
namespace {

using testing::TBusRecorder;
using testing::TRecordedMessage;

using namespace std::chrono_literals;

// A worker whose iterations are scripted by the test.
class TProbeWorker : public TWorkerThread {
 public:
  TProbeWorker(int64_t interval_ms, bool fail, uint8_t failure_level = 4, bool fail_prepare = false)
      : TWorkerThread("TProbeWorker", interval_ms, failure_level), fail_(fail), fail_prepare_(fail_prepare) {}
  ~TProbeWorker() override { TerminateAndJoin(); }
  std::atomic<int> iterations{0};

 protected:
  void Prepare() override {
    if (fail_prepare_) throw std::runtime_error("no socket");
  }
  void Iteration() override {
    ++iterations;
    if (fail_) throw std::runtime_error("boom " + std::to_string(iterations.load()));
  }

 private:
  bool fail_, fail_prepare_;
};

class ThreadsTest : public ::testing::Test {
 protected:
  TBusScope bus_;
  TBusRecorder global_{{"GLOBAL"}};
};

TEST_F(ThreadsTest, StartedHandshakeAndWaitStartedOnRunningWorker) {
  auto w = MakeThread<TProbeWorker>(60000, false);
  EXPECT_TRUE(w->IsStarted());
  // Already started: returns at once even with a zero time-out.
  EXPECT_TRUE(w->WaitStarted(0));
  EXPECT_FALSE(w->Finished());
}

TEST_F(ThreadsTest, ConventionMessagesAndOneFailurePerIteration) {
  auto w = MakeThread<TProbeWorker>(1, true);
  ASSERT_TRUE(global_.WaitForText("TProbeWorker failed with: boom 3"));
  w->TerminateAndJoin();
  ASSERT_TRUE(global_.WaitForText("TProbeWorker Stopped"));

  const auto msgs = global_.Messages();
  ASSERT_FALSE(msgs.empty());
  EXPECT_EQ(msgs.front().text, "TProbeWorker Started");
  EXPECT_EQ(msgs.front().level, mlInformation);
  EXPECT_EQ(msgs.front().category, "GLOBAL");
  EXPECT_EQ(msgs.back().text, "TProbeWorker Stopped");
  EXPECT_EQ(msgs.back().level, mlInformation);
  // Every iteration failed, every failure was reported once, at level 4.
  int failures = 0;
  for (const auto& m : msgs) {
    if (m.text.rfind("TProbeWorker failed with: boom ", 0) == 0) {
      ++failures;
      EXPECT_EQ(m.level, mlCritical);
      EXPECT_EQ(m.text, "TProbeWorker failed with: boom " + std::to_string(failures));
    }
  }
  EXPECT_EQ(failures, w->iterations.load());
  EXPECT_GE(failures, 3);
}

TEST_F(ThreadsTest, FailureLevelIsConfigurable) {
  auto w = MakeThread<TProbeWorker>(60000, true, mlError);
  ASSERT_TRUE(global_.WaitFor([](const TRecordedMessage& m) {
    return m.text == "TProbeWorker failed with: boom 1" && m.level == mlError;
  }));
}

TEST_F(ThreadsTest, FailingPrepareEndsWorkerAfterStopped) {
  auto w = MakeThread<TProbeWorker>(1, false, 4, true);
  ASSERT_TRUE(w->WaitFinished(5000));
  ASSERT_TRUE(global_.WaitForText("TProbeWorker Stopped"));
  EXPECT_EQ(global_.CountText("TProbeWorker failed with: no socket"), 1u);
  EXPECT_EQ(w->iterations.load(), 0);
}

TEST_F(ThreadsTest, WakeCutsTheIntervalShortAndIsNotLostWhileBusy) {
  auto w = MakeThread<TProbeWorker>(600000, false);
  // The first iteration runs at once; afterwards the worker waits 10 minutes
  // unless woken.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (w->iterations.load() < 1 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_EQ(w->iterations.load(), 1);
  w->Wake();
  while (w->iterations.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_EQ(w->iterations.load(), 2);
}

TEST_F(ThreadsTest, TerminateEndsAWaitingWorkerPromptly) {
  auto w = MakeThread<TProbeWorker>(600000, false);
  const auto t0 = std::chrono::steady_clock::now();
  w->Terminate();
  ASSERT_TRUE(w->WaitFinished(5000));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  EXPECT_TRUE(global_.WaitForText("TProbeWorker Stopped"));
}

// A short-lived thread that ends when the test lets it.
class TOneShot : public TGeneralThread {
 public:
  explicit TOneShot(std::atomic<bool>& go) : go_(go) {}
  ~TOneShot() override { TerminateAndJoin(); }

 protected:
  void Execute() override {
    SetStarted(true);
    while (!go_.load() && !Terminated()) WaitFor(5);
  }

 private:
  std::atomic<bool>& go_;
};

TEST_F(ThreadsTest, ThreadSetReapsFinishedAndEndsTheRest) {
  std::atomic<bool> go_a{false}, go_b{false};
  TThreadSet set;
  auto a = MakeThread<TOneShot>(go_a);
  TOneShot* a_raw = a.get();
  set.Add(std::move(a));
  set.Add(MakeThread<TOneShot>(go_b));
  EXPECT_EQ(set.Reap(), 2u);
  go_a = true;
  ASSERT_TRUE(a_raw->WaitFinished(5000));
  EXPECT_EQ(set.Reap(), 1u);
  set.Clear();  // go_b never set: Clear must terminate it, not hang
  EXPECT_EQ(set.Reap(), 0u);
}

// A worker shows under its class name in `top -H`; background work runs at
// a lower priority than the thread that started it.
TEST_F(ThreadsTest, WorkerNameAndBackgroundPriority) {
  auto w = MakeThread<TProbeWorker>(60000, false);
  std::ifstream comm("/proc/self/task/" + std::to_string(w->ThreadId()) + "/comm");
  std::string shown;
  std::getline(comm, shown);
  EXPECT_EQ(shown, "ProbeWorker");
  int before = 0, after = 0;
  std::thread([&] {
    before = getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
    RunThisThreadInBackground();
    after = getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
  }).join();
  EXPECT_EQ(after, std::max(before, 10));  // never raised again
  // Only that thread: the process's other threads keep their priority.
  EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid))), before);
}

}  // namespace
}  // namespace kv
