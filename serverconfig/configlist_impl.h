// The insides of TMohaaConfigList, shared by its list (configlist.cpp) and
// its worker (config_worker.cpp). Not part of the public surface.
#pragma once

#include <atomic>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/shutdown_flag.h"
#include "core/thread_annotations.h"
#include "serverconfig/config_plan.h"
#include "serverconfig/configlist.h"

namespace kv {

struct TMohaaConfigList::TImpl {
  TImpl(TRuntime& rt, TReapplySettings r) : runtime(rt), reapply(std::move(r)) {}

  TRuntime& runtime;
  const TReapplySettings reapply;

  // The list lock (a leaf): the sets.
  mutable TMutex list_mutex;
  std::vector<TVarList> sets GUARDED_BY(list_mutex);

  // The worker lock (a leaf): requests and the activation's state. The
  // cancel flag is read without it at every check; setting it notifies the
  // condition.
  mutable TMutex mutex;
  TClockCondition cv;
  std::deque<std::string> requests GUARDED_BY(mutex);
  bool busy GUARDED_BY(mutex) = false;  // a request queued or an activation running
  bool stopping GUARDED_BY(mutex) = false;
  bool waiting GUARDED_BY(mutex) = false;  // in a timed wait of an activation
  std::string running GUARDED_BY(mutex);
  std::string progress GUARDED_BY(mutex);
  // Set by Cancel and Close: ends the waits and a request under way at once.
  TShutdownFlag cancel;
  std::atomic<uint64_t> wakeups{0};
  std::thread worker;

  // --- the list (configlist.cpp) ---
  // Index of the set named `name` (exact or without regard to letter case),
  // -1 when none.
  int IndexOf(const std::string& name, bool any_case) const REQUIRES(list_mutex);
  bool AddLocked(const TVarList& set) REQUIRES(list_mutex);

  // --- the worker (config_worker.cpp) ---
  void Run();
  bool Stopping() const;
  bool Cancelled() const;
  void SetProgress(const std::string& text);
  // Waits on the clock until ms have passed; false when the activation was
  // cancelled (or the service ends) first.
  bool Pause(int64_t ms);
  // Sends one command until the server answers it; false when it never
  // did. `shown` is how messages name it.
  bool Send(const TConfigCommand& command, const std::string& shown);
  void Activate(const std::string& name, const TVarList& set);
  void Apply(const std::string& name, const TConfigPlan& plan);
  void Switch(const std::vector<TConfigSwitch>& switches);
};

}  // namespace kv
