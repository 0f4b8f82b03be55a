// The worker of the configuration sets: one activation at a time, every
// wait on the injectable clock, every step behind a look at the cancel flag.
#include "core/bus.h"
#include "core/cp1252.h"
#include "core/shutdown_flag.h"
#include "gamelink/rcon.h"
#include "serverconfig/configlist_impl.h"

namespace kv {
namespace {

constexpr const char* kWho = "TMohaaConfigList";

// How messages show a command: the passwords are never shown.
std::string Shown(const std::string& command) {
  const std::string word = command.substr(0, command.find(' '));
  if (SameText(word, "password") || SameText(word, "sv_privatepassword")) return word;
  return command;
}

std::string Quote(const std::string& name) { return "\"" + name + "\""; }

}  // namespace

// --- the worker thread ---------------------------------------------------------

bool TMohaaConfigList::TImpl::Stopping() const {
  TLockGuard lock(mutex);
  return stopping;
}

bool TMohaaConfigList::TImpl::Cancelled() const {
  return cancel.IsSet() || RconTerminating(runtime.server) || Stopping();
}

void TMohaaConfigList::TImpl::SetProgress(const std::string& text) {
  TLockGuard lock(mutex);
  progress = text;
}

bool TMohaaConfigList::TImpl::Pause(int64_t ms) {
  if (ms <= 0) return !Cancelled();
  const int64_t deadline = runtime.clock.SteadyMs() + ms;
  {
    TUniqueLock lock(mutex);
    waiting = true;
    cv.WaitUntil(lock, deadline, [&]() REQUIRES(mutex) {
      wakeups.fetch_add(1, std::memory_order_relaxed);
      return stopping || cancel.IsSet();
    });
    waiting = false;
  }
  return !Cancelled();
}

bool TMohaaConfigList::TImpl::Send(const TConfigCommand& c, const std::string& shown) {
  std::string problem;
  int64_t last_start = 0;
  int attempts = 0;
  for (int attempt = 1; attempt <= kConfigAttempts; ++attempt) {
    if (attempt > 1 && !Pause(last_start + kConfigRetryPauseMs - runtime.clock.SteadyMs())) return false;
    if (Cancelled()) return false;
    SetProgress("sending " + shown + (attempt > 1 ? " (attempt " + std::to_string(attempt) + ")" : ""));
    last_start = runtime.clock.SteadyMs();
    attempts = attempt;
    const TRconResult r =
        PerformRconRequest(runtime.server, c.command, c.timeout_seconds, rpCommand, &cancel);
    // Every answer of the server, also the empty one of a command that
    // prints nothing, comes as a print.
    if (AnsiUpperCase(r.Text()).find("PRINT") != std::string::npos) return true;
    problem = RconProblemText(r.Text());
    // What we refuse to send goes no better the next time.
    if (r.error == kRconTooLongText || r.error == kRconLineBreakText) break;
  }
  if (Cancelled()) return false;
  PostGlobal(std::string(kWho) + ": " + shown + " not acknowledged after " + std::to_string(attempts) +
                 (attempts == 1 ? " attempt - " : " attempts - ") + problem,
             mlWarning);
  return false;
}

void TMohaaConfigList::TImpl::Switch(const std::vector<TConfigSwitch>& switches) {
  if (switches.empty()) return;
  for (const TConfigSwitch& s : switches) {
    try {
      runtime.config.SetBool(s.key, s.value);
    } catch (const std::exception& e) {
      PostGlobal(std::string(kWho) + ": setting " + s.key + " not written: " + e.what(), mlError);
    }
  }
  if (reapply) reapply();  // the checks read their settings when they are applied
}

void TMohaaConfigList::TImpl::Apply(const std::string& name, const TConfigPlan& plan) {
  const auto cancelled = [&] {
    PostGlobal(std::string(kWho) + ": activation of configuration " + Quote(name) + " cancelled", mlWarning);
  };
  PostGlobal(std::string(kWho) + ": activating configuration " + Quote(name), mlInformation);
  if (Cancelled()) return cancelled();
  if (!plan.announcement.empty()) Send({0, plan.announcement, -1}, "the announcement");
  if (plan.delay_seconds > 0) {
    SetProgress("waiting " + std::to_string(plan.delay_seconds) + " s");
    if (!Pause(plan.delay_seconds * 1000)) return cancelled();
  }
  if (Cancelled()) return cancelled();
  Switch(plan.switches);
  size_t unacknowledged = 0;
  for (const TConfigCommand& c : plan.commands) {
    if (!Pause(c.pause_ms)) return cancelled();
    if (!Send(c, Shown(c.command))) {
      if (Cancelled()) return cancelled();
      ++unacknowledged;
    }
  }
  std::string done = std::string(kWho) + ": configuration " + Quote(name) + " activated";
  if (unacknowledged)
    done += " - " + std::to_string(unacknowledged) + " of " + std::to_string(plan.commands.size()) +
            " commands not acknowledged by the server";
  PostGlobal(done, unacknowledged ? mlWarning : mlInformation);
}

void TMohaaConfigList::TImpl::Activate(const std::string& name, const TVarList& set) {
  {
    TLockGuard lock(mutex);
    running = name;
    progress = "starting";
  }
  try {
    Apply(name, BuildConfigPlan(set));
  } catch (const std::exception& e) {
    PostGlobal(std::string(kWho) + " failed with: " + e.what(), mlCritical);
  }
  TLockGuard lock(mutex);
  running.clear();
  progress.clear();
}

void TMohaaConfigList::TImpl::Run() {
  PostGlobal(std::string(kWho) + " Started", mlInformation);
  // The service's end ends every wait at once.
  const TShutdownFlag::TWake shutdown_wakes(&runtime.server.rcon_terminating, cv);
  const TShutdownFlag::TWake cancel_wakes(&cancel, cv);
  for (;;) {
    std::string name;
    {
      TUniqueLock lock(mutex);
      cv.Wait(lock, [&]() REQUIRES(mutex) { return stopping || !requests.empty(); });
      if (stopping) break;
      name = std::move(requests.front());
      requests.pop_front();
    }
    try {
      std::optional<TVarList> set;
      {
        TLockGuard lock(list_mutex);
        const int at = IndexOf(name, false);
        if (at >= 0) set = sets[static_cast<size_t>(at)];
      }
      if (set) {
        Activate(name, *set);
      } else {
        PostGlobal(std::string(kWho) + ": configuration " + Quote(name) + " no longer exists", mlWarning);
      }
    } catch (const std::exception& e) {
      PostGlobal(std::string(kWho) + " failed with: " + e.what(), mlCritical);
    }
    TLockGuard lock(mutex);
    busy = !requests.empty();
  }
  PostGlobal(std::string(kWho) + " Stopped", mlInformation);
}

// --- the public side -----------------------------------------------------------

void TMohaaConfigList::Open() {
  TLockGuard lock(impl_->mutex);
  if (impl_->worker.joinable() || impl_->stopping) return;
  impl_->worker = std::thread([impl = impl_.get()] { impl->Run(); });
}

void TMohaaConfigList::Close() {
  {
    TLockGuard lock(impl_->mutex);
    impl_->stopping = true;
    impl_->requests.clear();
  }
  impl_->cancel.Set(true);
  impl_->cv.NotifyAll();
  if (impl_->worker.joinable()) impl_->worker.join();
}

bool TMohaaConfigList::Activate(const std::string& name) {
  if (!Find(name)) return false;
  {
    TLockGuard lock(impl_->mutex);
    if (impl_->busy || impl_->stopping || !impl_->worker.joinable()) return false;
    impl_->busy = true;
    impl_->cancel.Set(false);
    impl_->requests.push_back(name);
  }
  impl_->cv.NotifyAll();
  return true;
}

void TMohaaConfigList::Cancel() {
  impl_->cancel.Set(true);
  impl_->cv.NotifyAll();
}

bool TMohaaConfigList::Busy() const {
  TLockGuard lock(impl_->mutex);
  return impl_->busy;
}

std::string TMohaaConfigList::RunningName() const {
  TLockGuard lock(impl_->mutex);
  return impl_->running;
}

std::string TMohaaConfigList::Progress() const {
  TLockGuard lock(impl_->mutex);
  return impl_->progress;
}

uint64_t TMohaaConfigList::WorkerWakeups() const { return impl_->wakeups.load(); }

bool TMohaaConfigList::WorkerWaiting() const {
  TLockGuard lock(impl_->mutex);
  return impl_->waiting;
}

}  // namespace kv
