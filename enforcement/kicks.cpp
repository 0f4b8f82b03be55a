#include "enforcement/kicks.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "core/bus.h"
#include "core/counters.h"
#include "core/cp1252.h"
#include "core/regional.h"
#include "domain/events.h"
#include "domain/runtime.h"
#include "domain/userlist.h"
#include "enforcement/templates.h"
#include "gamelink/rcon.h"

namespace kv {
using namespace regional;

TKickDelaySplit SplitKickDelay(int32_t delay_seconds) {
  const int64_t d = delay_seconds;
  if (d >= 6) return {(d - 5) * 1000, 5000};
  if (d >= 3) return {(d - 1) * 1000, 1000};
  if (d >= 0) return {0, d * 1000};
  return {0, 0};
}

// One kick under way: what was asked, and where it stands. Only the kick
// worker reads or writes a kick once it is registered, apart from its
// client number, which never changes.
struct TKickThread {
  enum class TStep { Start, Announce, Kick, Closing };

  int32_t client = kClientNotSet;
  int32_t repetitions = 0;
  int32_t delay = 0;
  TReplaceArray extra;
  std::string templ;

  TStep step = TStep::Start;
  int64_t requested_ms = 0;
  int64_t due_ms = 0;          // when the next step runs (clock's SteadyMs)
  int64_t phase_start_ms = 0;  // start of the retries of this step, for the give-up bound
  int32_t said = 0;            // repetitions delivered in this step
  bool done = false;
  std::unique_ptr<TUserList> snapshot;
  std::string message;  // the expanded announcement
  TLiveCount<TCounter::KickThreads> live;
};

namespace {
// Whether the announcement still has repetitions to say.
bool WantsAnnouncement(const TKickThread& k) { return !k.message.empty() && k.said < k.repetitions; }
}  // namespace

struct TKickThreadList::TImpl {
  explicit TImpl(TRuntime& rt) : runtime(rt) {}

  TRuntime& runtime;
  TSnapshot<TOperatorKickSettings> settings;
  mutable TMutex mutex;  // the registry lock (a leaf): guards everything below
  TClockCondition cv;
  std::vector<std::unique_ptr<TKickThread>> kicks GUARDED_BY(mutex);  // in request order
  bool changed GUARDED_BY(mutex) = false;
  bool closed GUARDED_BY(mutex) = false;
  bool stopping GUARDED_BY(mutex) = false;
  bool waiting GUARDED_BY(mutex) = false;  // the worker sleeps: no step is due
  std::thread worker;
  std::atomic<uint64_t> wakeups{0};

  int64_t Now() const { return runtime.clock.SteadyMs(); }
  void Run();
  TKickThread* NextDue() EXCLUDES(mutex);
  void RunStep(TKickThread& k);
  void Start(TKickThread& k);
  void Announce(TKickThread& k);
  void Kick(TKickThread& k);
  void Closing(TKickThread& k);
  bool Say(TKickThread& k);
  void Publish(TKickThread& k);
  void GiveUp(TKickThread& k, const std::string& why);
};

// --- the worker ---------------------------------------------------------------

TKickThread* TKickThreadList::TImpl::NextDue() {
  TUniqueLock lock(mutex);
  for (;;) {
    if (stopping) return nullptr;
    TKickThread* next = nullptr;
    for (auto& k : kicks)
      if (!k->done && (!next || k->due_ms < next->due_ms)) next = k.get();
    if (next && next->due_ms <= Now()) {
      waiting = false;
      return next;
    }
    const int64_t deadline = next ? next->due_ms : TClockCondition::kNoDeadline;
    waiting = true;
    cv.WaitUntil(lock, deadline, [&]() REQUIRES(mutex) {
      wakeups.fetch_add(1, std::memory_order_relaxed);
      return stopping || changed;
    });
    changed = false;
  }
}

void TKickThreadList::TImpl::Run() {
  // Shutdown of the application ends every wait at once.
  const TShutdownFlag::TWake shutdown_wakes(&runtime.server.rcon_terminating, cv);
  while (TKickThread* k = NextDue()) {
    try {
      RunStep(*k);
    } catch (const std::exception& e) {
      PostGlobal(std::string("TKickThread.Execute failed with: ") + e.what(), mlCritical);
      k->done = true;
    }
    TLockGuard lock(mutex);
    // Unregistered once it has ended: from now on a new kick of the same
    // client is accepted.
    std::erase_if(kicks, [](const std::unique_ptr<TKickThread>& p) { return p->done; });
  }
}

void TKickThreadList::TImpl::RunStep(TKickThread& k) {
  if (RconTerminating(runtime.server)) {  // the service is going down: no kick is finished
    k.done = true;
    return;
  }
  switch (k.step) {
    case TKickThread::TStep::Start: return Start(k);
    case TKickThread::TStep::Announce: return Announce(k);
    case TKickThread::TStep::Kick: return Kick(k);
    case TKickThread::TStep::Closing: return Closing(k);
  }
}

void TKickThreadList::TImpl::Start(TKickThread& k) {
  k.snapshot = runtime.server.players.Snapshot();
  if (!k.snapshot || FindListEntry(*k.snapshot, k.client).client_number != k.client) {
    PostGlobal(
        "TKickThread.Execute kicking of ClientID " + IntToStr(k.client) + " ignored - User not not online",
        mlDebug);
    k.done = true;
    return;
  }
  k.message = ExpandPlaceholders(&runtime.server, k.templ, k.extra, k.client);
  if (k.delay >= 0) {
    const TKickDelaySplit split = SplitKickDelay(k.delay);
    // Nothing to announce: the kick follows after the whole delay.
    const bool announce = WantsAnnouncement(k);
    k.step = announce ? TKickThread::TStep::Announce : TKickThread::TStep::Kick;
    k.due_ms = k.phase_start_ms = k.requested_ms + split.before_ms + (announce ? 0 : split.after_ms);
  } else {
    k.step = TKickThread::TStep::Kick;
    k.due_ms = k.phase_start_ms = Now();
  }
}

void TKickThreadList::TImpl::Announce(TKickThread& k) {
  const auto to_kick = [&] {
    k.step = TKickThread::TStep::Kick;
    k.due_ms = k.phase_start_ms = Now() + SplitKickDelay(k.delay).after_ms;
  };
  if (!WantsAnnouncement(k)) return to_kick();
  if (Say(k)) {
    ++k.said;
    k.phase_start_ms = Now();
    if (!WantsAnnouncement(k)) return to_kick();
    k.due_ms = Now();
    return;
  }
  if (Now() - k.phase_start_ms >= kKickGiveUpMs) {
    PostGlobal("TKickThread announcement for ClientID " + IntToStr(k.client) +
                   " not delivered within 5 minutes - kicking without it: " + k.message,
               mlWarning);
    return to_kick();
  }
  k.due_ms = Now() + kAnnouncementRetryMs;
}

void TKickThreadList::TImpl::Kick(TKickThread& k) {
  const std::string reply = AnsiUpperCase(
      SendMohaMessage(runtime.server, "clientkick " + IntToStr(k.client), false, -1, rpCommand));
  if (reply.find("KICKED") != std::string::npos || reply.find("NOT ACTIVE") != std::string::npos) {
    k.said = 0;
    if (k.delay < 0 && WantsAnnouncement(k)) {
      k.step = TKickThread::TStep::Closing;
      k.due_ms = k.phase_start_ms = Now();
      return;
    }
    return Publish(k);
  }
  // The slot is beyond the server's client slots: no repetition can kick it.
  if (reply.find("BAD CLIENT SLOT") != std::string::npos ||
      reply.find("BAD SLOT NUMBER") != std::string::npos)
    return GiveUp(k, "the server refused the client number");
  if (Now() - k.phase_start_ms >= kKickGiveUpMs)
    return GiveUp(k, "the server did not confirm the kick within 5 minutes");
  k.due_ms = Now() + kKickRetryMs;
}

void TKickThreadList::TImpl::Closing(TKickThread& k) {
  if (Say(k)) {
    ++k.said;
    k.phase_start_ms = Now();
    if (!WantsAnnouncement(k)) return Publish(k);
    k.due_ms = Now() - int64_t{k.delay};  // |delay| milliseconds between two
    return;
  }
  if (Now() - k.phase_start_ms >= kKickGiveUpMs) {
    PostGlobal("TKickThread announcement for ClientID " + IntToStr(k.client) +
                   " not delivered within 5 minutes: " + k.message,
               mlWarning);
    return Publish(k);
  }
  k.due_ms = Now() + kAnnouncementRetryMs;
}

bool TKickThreadList::TImpl::Say(TKickThread& k) {
  // An over-long template is refused the way every message is (the line
  // that says so, and counted as handled); nothing is sent.
  if (k.templ.size() > kMaxConsoleMessage)
    return SendConsoleMessage(runtime.server, k.templ, false, false, false);
  return SayFinalText(runtime.server, k.message, false);
}

void TKickThreadList::TImpl::Publish(TKickThread& k) {
  auto event = std::make_shared<TMohaaEvent>(ekUserKicked, k.message);
  if (k.snapshot) {
    TUserListEntry row = FindListEntry(*k.snapshot, k.client);
    if (row.client_number == k.client) {
      event->log_entry = std::make_unique<TLogEntry>();
      event->log_entry->first_player = std::move(row);
    }
  }
  PostEvent(std::move(event));
  k.done = true;
}

void TKickThreadList::TImpl::GiveUp(TKickThread& k, const std::string& why) {
  PostGlobal("TKickThread kicking of ClientID " + IntToStr(k.client) + " given up - " + why, mlWarning);
  k.done = true;
}

// --- the registry ------------------------------------------------------------------

TKickThreadList::TKickThreadList(TRuntime& runtime) : impl_(std::make_unique<TImpl>(runtime)) {}

TKickThreadList::~TKickThreadList() { Close(); }

void TKickThreadList::ApplySettings(TSettings& settings) {
  impl_->settings.Publish({settings.Int("MKickDelay"), settings.Int("MKickRepeat")});
}

void TKickThreadList::Open() {
  {
    TLockGuard lock(impl_->mutex);
    if (impl_->worker.joinable() || impl_->closed) return;
  }
  impl_->worker = std::thread([impl = impl_.get()] { impl->Run(); });
}

void TKickThreadList::Close() {
  {
    TLockGuard lock(impl_->mutex);
    impl_->closed = impl_->stopping = true;
  }
  impl_->cv.NotifyAll();
  if (impl_->worker.joinable()) impl_->worker.join();
  TLockGuard lock(impl_->mutex);
  impl_->kicks.clear();
}

bool TKickThreadList::AddKickThread(int32_t client_number, int32_t repetitions, int32_t delay_seconds,
                                    const TReplaceArray& extra, const std::string& message) {
  if (client_number == kClientNotSet || client_number == kNoPlayer) {
    PostGlobal("AddKickThread kicking of ClientID: " + IntToStr(client_number) +
                   " requested - ignoring that request",
               mlCritical);
    return false;
  }
  auto kick = std::make_unique<TKickThread>();
  kick->client = client_number;
  kick->repetitions = repetitions;
  kick->delay = delay_seconds;
  kick->extra = extra;
  kick->templ = message;
  kick->requested_ms = kick->due_ms = impl_->Now();
  {
    TLockGuard lock(impl_->mutex);
    if (impl_->closed) return false;
    for (const auto& k : impl_->kicks)
      if (k->client == client_number) return false;
    impl_->kicks.push_back(std::move(kick));
    impl_->changed = true;
  }
  impl_->cv.NotifyAll();
  return true;
}

bool TKickThreadList::IsKickPending(int32_t client_number) const {
  TLockGuard lock(impl_->mutex);
  return std::any_of(impl_->kicks.begin(), impl_->kicks.end(),
                     [&](const std::unique_ptr<TKickThread>& k) { return k->client == client_number; });
}

bool TKickThreadList::KickByOperator(int32_t client_number, const std::string& message) {
  const auto settings = impl_->settings.Get();
  return AddKickThread(client_number, settings->repeat, settings->delay, {}, message);
}

size_t TKickThreadList::Count() const {
  TLockGuard lock(impl_->mutex);
  return impl_->kicks.size();
}

bool TKickThreadList::WorkerIdle() const {
  TLockGuard lock(impl_->mutex);
  return impl_->waiting;
}

uint64_t TKickThreadList::WorkerWakeups() const { return impl_->wakeups.load(std::memory_order_relaxed); }

// --- the operator's command ------------------------------------------------------

namespace {

TCommandResult KickCommand(TKickThreadList& kicks, const TCurrentPlayerList& players,
                           const std::string& args) {
  const size_t gap = args.find_first_of(" \t");
  const std::string number = args.substr(0, gap);
  const size_t text_start = gap == std::string::npos ? gap : args.find_first_not_of(" \t", gap);
  const std::string message = text_start == std::string::npos ? std::string() : args.substr(text_start);
  int32_t client = 0;
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos || number.size() > 6)
    throw ECommandUsage();
  client = static_cast<int32_t>(std::stol(number));
  nlohmann::json data = {{"client", client}, {"message", Cp1252ToUtf8(message)}};
  auto current = players.Snapshot();
  if (!current || FindListEntry(*current, client).client_number != client) {
    data["error"] = "not on the server";
    return {false, data, "client " + number + " is not on the server"};
  }
  if (!kicks.KickByOperator(client, message)) {
    data["error"] = "already being kicked";
    return {false, data, "a kick of client " + number + " is already under way"};
  }
  return {true, data, "kicking client " + number};
}

}  // namespace

void TKickThreadList::RegisterCommands(TCommandTable& commands) {
  commands.Add(
      {.name = "kick",
       .args = "N [MESSAGE]",
       .help =
           "kick client N, announcing MESSAGE (a template) with the operator kick's delay and repetitions",
       .thread = TCommandThread::Caller,
       .right = "server",
       .needs_args = true,
       .handler = [this](const TCommandContext&, const std::string& args) {
         return KickCommand(*this, impl_->runtime.server.players, args);
       }});
}

}  // namespace kv
