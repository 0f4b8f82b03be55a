#include "automation/event_messages.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include "core/bus.h"
#include "core/bus_hub.h"
#include "core/bus_monitor.h"
#include "core/cp1252.h"
#include "core/datafiles.h"
#include "core/regional.h"
#include "core/stream.h"
#include "domain/events.h"
#include "domain/runtime.h"
#include "domain/serverinfo.h"
#include "domain/settings.h"
#include "enforcement/pattern.h"
#include "enforcement/templates.h"
#include "gamelink/console.h"

namespace kv {

namespace {

constexpr TSettingDef kRows[] = {
    {"StopEventMessage", TSettingType::Bool, "0", kOnUse},
};
constexpr TSettingRows kTables[] = {{TSettingPlace::EventMessages, kRows}};

}  // namespace

std::span<const TSettingRows> TEventMessageController::Rows() { return kTables; }

// A definition with its expressions compiled once. A pattern left null tests
// nothing; `error` set: the definition never matches.
struct TEventMessageController::TDefinition {
  TMohaaMessage message;
  std::shared_ptr<const TPattern> player1, player2, time, description, weapon;
  std::shared_ptr<const TPattern> not_player1, not_player2, not_time, not_description, not_weapon;
  std::string error;
};

// Says the due messages; sleeps on the clock until the next one is due, a
// new one arrives or the controller closes.
class TEventMessageController::TSender : public TGeneralThread {
 public:
  explicit TSender(TEventMessageController& owner) : owner_(owner) {}
  ~TSender() override { TerminateAndJoin(); }

  void Terminate() override {
    TGeneralThread::Terminate();
    Notify();
  }
  // Something changed: look at the pending messages again. Returns the
  // number of the request, which Passed() then reports.
  uint64_t Notify() {
    uint64_t request;
    {
      std::lock_guard lock(mutex_);
      request = ++requested_;
    }
    cond_.NotifyAll();
    return request;
  }
  // Waits until a pass that began after request `request` has ended.
  bool Passed(uint64_t request, int64_t timeout_ms) {
    std::unique_lock lock(mutex_);
    return done_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return done_ >= request || Finished(); });
  }

 protected:
  void Execute() override {
    SetStarted(true);
    std::unique_lock lock(mutex_);
    while (!Terminated()) {
      const uint64_t seen = requested_;
      lock.unlock();
      const int64_t next = owner_.SendDueAndNext();
      lock.lock();
      done_ = seen;
      done_cv_.notify_all();
      cond_.WaitUntil(lock, next, [&] { return Terminated() || requested_ != seen; });
    }
    done_ = requested_;
    done_cv_.notify_all();
  }

 private:
  TEventMessageController& owner_;
  std::mutex mutex_;  // a leaf
  TClockCondition cond_;
  std::condition_variable done_cv_;
  uint64_t requested_ = 0;  // guarded by mutex_
  uint64_t done_ = 0;       // guarded by mutex_
};

TEventMessageController::TEventMessageController(TRuntime& runtime) : runtime_(runtime) {}

TEventMessageController::~TEventMessageController() { Close(); }

void TEventMessageController::RegisterDataFiles(TDataFileRegistry& registry) {
  TDataFileHandler handler;
  handler.load = [this](TStream& in) { Load(in); };
  handler.save = [this](TStream& out) { Save(out); };
  registry.Register(TDataFileId::EventMessages, std::move(handler));
}

bool TEventMessageController::Stopped() const { return runtime_.server.Settings().Bool("StopEventMessage"); }

void TEventMessageController::Open() {
  {
    TLockGuard lock(monitor_mutex_);
    if (monitor_) return;
    monitor_ = MakeThread<TMsgMonitor>(false);
    monitor_->SetAcceptedLevels({mlInformation});
    monitor_->SetLevelHandler(
        mlInformation, [this](const std::string& category, const std::string&, TMsgData& data, uint8_t) {
          if (AnsiUpperCase(category).find("EVENT") == std::string::npos) return;
          const auto* object = std::get_if<std::shared_ptr<TBusObject>>(&data);
          const auto* event = object ? dynamic_cast<const TMohaaEvent*>(object->get()) : nullptr;
          if (event) HandleEvent(*event);
        });
  }
  // Only the kinds a definition names are delivered: a greeting on arrivals
  // must not make the controller a consumer of every kill and chat line.
  for (const auto& m : Definitions()) Subscribe(m);
  {
    TLockGuard lock(monitor_mutex_);
    subscription_ = kv::Subscribe(*monitor_);
  }
  sender_ = MakeThread<TSender>(*this);
  PostGlobal("TEventMessageController Started", mlInformation);
}

void TEventMessageController::Close() {
  TThreadPtr<TMsgMonitor> monitor;
  {
    TLockGuard lock(monitor_mutex_);
    if (!monitor_) return;
    monitor = std::move(monitor_);
  }
  subscription_.Reset();
  monitor.reset();  // matches what it has queued, then ends
  sender_.reset();
  PostGlobal("TEventMessageController Stopped", mlInformation);
}

void TEventMessageController::Subscribe(const TMohaaMessage& message) {
  if (message.kind >= kEventKindCount) return;
  TLockGuard lock(monitor_mutex_);
  if (monitor_) monitor_->AddCategory(EventCategory(message.kind));
}

// --- definitions -------------------------------------------------------------

std::shared_ptr<const TEventMessageController::TDefinition> TEventMessageController::Compile(
    TMohaaMessage message) {
  auto d = std::make_shared<TDefinition>();
  const auto compile = [&](const std::string& text, std::shared_ptr<const TPattern>& into) {
    if (text.empty() || !d->error.empty()) return;
    std::string error;
    into = TPattern::Compile(text, error);
    if (!into) d->error = "invalid expression [" + text + "]: " + error;
  };
  compile(message.player1_filter, d->player1);
  compile(message.player2_filter, d->player2);
  compile(message.time_filter, d->time);
  compile(message.description_filter, d->description);
  compile(message.weapon_filter, d->weapon);
  compile(message.player1_exclusion, d->not_player1);
  compile(message.player2_exclusion, d->not_player2);
  compile(message.time_exclusion, d->not_time);
  compile(message.description_exclusion, d->not_description);
  compile(message.weapon_exclusion, d->not_weapon);
  d->message = std::move(message);
  return d;
}

void TEventMessageController::PostListChanged() {
  PostEvent(std::make_shared<TMohaaEvent>(ekMessageEventListChanged));
}

void TEventMessageController::Add(TMohaaMessage message) {
  auto d = Compile(std::move(message));
  if (!d->error.empty())
    PostGlobal("TEventMessageController Execute failed with: " + d->error + " - the message [" +
                   d->message.text + "] never matches until it is mended",
               mlCritical);
  Subscribe(d->message);
  {
    TLockGuard lock(mutex_);
    definitions_.push_back(std::move(d));
  }
  PostListChanged();
}

bool TEventMessageController::Delete(const TMohaaMessage& message) {
  bool removed = false;
  {
    TLockGuard lock(mutex_);
    const auto it = std::find_if(definitions_.begin(), definitions_.end(),
                                 [&](const auto& d) { return d->message == message; });
    if (it != definitions_.end()) {
      definitions_.erase(it);
      removed = true;
    }
  }
  PostListChanged();
  return removed;
}

std::vector<TMohaaMessage> TEventMessageController::Definitions() const {
  TLockGuard lock(mutex_);
  std::vector<TMohaaMessage> out;
  out.reserve(definitions_.size());
  for (const auto& d : definitions_) out.push_back(d->message);
  return out;
}

void TEventMessageController::Clear() {
  TLockGuard lock(mutex_);
  definitions_.clear();
}

void TEventMessageController::Load(TStream& in) {
  Clear();
  const bool empty = in.AtEnd();
  std::vector<TMohaaMessage> read;
  std::string failure;
  try {
    ReadEventMessagesFile(in, read);
  } catch (const EStreamError& e) {
    failure = e.what();
  }
  std::vector<std::shared_ptr<const TDefinition>> compiled;
  for (auto& m : read) {
    compiled.push_back(Compile(std::move(m)));
    if (!compiled.back()->error.empty())
      PostGlobal("TEventMessageController Execute failed with: " + compiled.back()->error +
                     " - the message [" + compiled.back()->message.text +
                     "] never matches until it is mended",
                 mlCritical);
    Subscribe(compiled.back()->message);
  }
  {
    TLockGuard lock(mutex_);
    definitions_ = std::move(compiled);
  }
  if (!failure.empty()) throw EStreamError(failure);
  if (!empty) PostListChanged();
}

void TEventMessageController::Save(TStream& out) const { WriteEventMessagesFile(out, Definitions()); }

// --- matching ----------------------------------------------------------------

namespace {

bool Passes(const std::shared_ptr<const TPattern>& filter, const std::shared_ptr<const TPattern>& exclusion,
            const std::string& text) {
  if (filter && !filter->Search(text)) return false;
  if (exclusion && exclusion->Search(text)) return false;
  return true;
}

}  // namespace

void TEventMessageController::HandleEvent(const TMohaaEvent& event) {
  try {
    if (Stopped()) {
      TLockGuard lock(mutex_);
      pending_.clear();
      return;
    }
    // The definitions of the event's kind, taken under the list lock; the
    // tests and the expansion run without it.
    std::vector<std::shared_ptr<const TDefinition>> candidates;
    {
      TLockGuard lock(mutex_);
      for (const auto& d : definitions_)
        if (d->message.kind == event.kind && d->error.empty()) candidates.push_back(d);
    }
    if (candidates.empty()) return;

    const TLogEntry* entry = event.log_entry.get();
    std::string first_nick;
    if (entry) {
      if (entry->first_player.client_number != kClientNotSet) first_nick = entry->first_player.name;
    } else if (event.history_entry) {
      first_nick = event.history_entry->player.name;
    }
    const std::string second_nick = entry && entry->second_player.client_number != kClientNotSet
                                        ? entry->second_player.name
                                        : std::string();
    const std::string time = regional::DateTimeToStr(event.time);
    const std::string weapon = event.kind == ekKill ? EventWeaponName(event) : std::string();

    std::vector<TPendingMessage> made;
    for (const auto& d : candidates) {
      if (!Passes(d->player1, d->not_player1, first_nick)) continue;
      if (entry && !Passes(d->player2, d->not_player2, second_nick)) continue;
      if (!Passes(d->time, d->not_time, time)) continue;
      if (!Passes(d->description, d->not_description, event.text)) continue;
      if (event.kind == ekKill && !Passes(d->weapon, d->not_weapon, weapon)) continue;
      TPendingMessage p;
      p.expand_when_sent = d->message.expand_when_sent;
      p.only_if_online = d->message.only_if_online;
      p.text = p.expand_when_sent
                   ? d->message.text
                   : ExpandPlaceholders(&runtime_.server, d->message.text, {}, kClientNotSet, &event);
      p.due = event.time + d->message.delay / 86400.0;
      if (entry) {
        p.first = entry->first_player;
        p.second = entry->second_player;
      } else {
        p.first.client_number = p.second.client_number = kNoPlayer;
      }
      made.push_back(std::move(p));
    }
    if (made.empty()) return;
    bool report_overflow = false;
    {
      TLockGuard lock(mutex_);
      for (auto& p : made) pending_.push_back(std::move(p));
      if (pending_.size() > kMaxPending) {
        pending_.erase(pending_.begin(),
                       pending_.begin() + static_cast<ptrdiff_t>(pending_.size() - kMaxPending));
        report_overflow = !overflow_reported_;
        overflow_reported_ = true;
      } else {
        overflow_reported_ = false;
      }
    }
    if (report_overflow)
      PostGlobal("TEventMessageController: more than " + std::to_string(kMaxPending) +
                     " messages wait - the oldest are dropped",
                 mlError);
    WakeSender();
  } catch (const std::exception& e) {
    PostGlobal(std::string("TEventMessageController Execute failed with: ") + e.what(), mlCritical);
  }
}

void TEventMessageController::WakeSender() {
  if (sender_) sender_->Notify();
}

// --- saying ------------------------------------------------------------------

int64_t TEventMessageController::SendDueAndNext() {
  std::vector<TPendingMessage> due;
  double next = 0;
  {
    const bool stopped = Stopped();
    TLockGuard lock(mutex_);
    if (stopped) {
      pending_.clear();
      return TClockCondition::kNoDeadline;
    }
    const double now = runtime_.clock.Now();
    std::deque<TPendingMessage> waiting;
    for (auto& p : pending_) {
      if (p.due <= now) {
        due.push_back(std::move(p));
      } else {
        if (waiting.empty() || p.due < next) next = p.due;
        waiting.push_back(std::move(p));
      }
    }
    pending_ = std::move(waiting);
  }
  for (const auto& p : due) {
    try {
      Say(p);
    } catch (const std::exception& e) {
      PostGlobal(std::string("Error on sending message with TEventMessageController.Execute - Clearing all "
                             "messages thats an memory leak - but nothing else can be done:") +
                     e.what(),
                 mlCritical);
      TLockGuard lock(mutex_);
      pending_.clear();
      return TClockCondition::kNoDeadline;
    }
  }
  if (next == 0) return TClockCondition::kNoDeadline;
  const double wait_ms = std::ceil((next - runtime_.clock.Now()) * kMsPerDay);
  return runtime_.clock.SteadyMs() + std::max<int64_t>(1, static_cast<int64_t>(wait_ms));
}

void TEventMessageController::SendDue() { SendDueAndNext(); }

void TEventMessageController::Say(const TPendingMessage& message) {
  if (message.only_if_online && message.first.client_number != kNoPlayer) {
    const auto list = runtime_.server.players.Snapshot();
    if (list) {
      const TUserListEntry now = FindListEntry(*list, message.first.client_number);
      if (now.client_number == kClientNotSet || now.name != message.first.name) return;  // gone or renamed
    }
  }
  if (message.expand_when_sent)
    SendConsoleMessage(runtime_.server, message.text, false, false, false);
  else
    SayFinalText(runtime_.server, message.text, false);  // expanded at the event: a nick is no template
}

size_t TEventMessageController::Pending() const {
  TLockGuard lock(mutex_);
  return pending_.size();
}

bool TEventMessageController::WaitMatched(int64_t timeout_ms) {
  const auto hub = GetMonitorInterface();
  if (hub && !hub->Flush(timeout_ms)) return false;
  TLockGuard lock(monitor_mutex_);
  return !monitor_ || monitor_->Flush(timeout_ms);
}

bool TEventMessageController::Flush(int64_t timeout_ms) {
  if (!WaitMatched(timeout_ms)) return false;
  if (!sender_) return true;
  return sender_->Passed(sender_->Notify(), timeout_ms);
}

}  // namespace kv
