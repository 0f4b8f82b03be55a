#include "gamelink/gamelink_subsystems.h"

#include "gamelink/rcon.h"
#include "gamelink/rcon_budget.h"

namespace kv {

// --- rcon replies -------------------------------------------------------------

TRconReplySubsystem::TRconReplySubsystem(TRuntime& runtime, TWeaponClassifyFn classify)
    : runtime_(runtime), classify_(std::move(classify)) {}

TRconReplySubsystem::~TRconReplySubsystem() { Close(); }

void TRconReplySubsystem::Open() {
  {
    std::lock_guard lock(mutex_);
    parser_ = std::make_unique<TServerLogEventChecker>(classify_, runtime_.server.Settings());
  }
  SetRconReplySink(runtime_.server, [this](TMohaaServerInfo&, const std::string& reply) { Parse(reply); });
}

void TRconReplySubsystem::Close() {
  SetRconReplySink(runtime_.server, {});
  std::lock_guard lock(mutex_);
  parser_.reset();
}

void TRconReplySubsystem::Parse(const std::string& reply) {
  std::lock_guard lock(mutex_);
  if (!parser_) return;
  size_t start = 0;
  for (size_t i = 0; i <= reply.size(); ++i) {
    if (i == reply.size() || reply[i] == '\r' || reply[i] == '\n') {
      if (i > start) parser_->CheckLogForEvents(&runtime_.server, reply.substr(start, i - start));
      start = i + 1;
    }
  }
}

// --- console ------------------------------------------------------------------

TConsoleSubsystem::TConsoleSubsystem(TRuntime& runtime, TMessageExpander expander)
    : runtime_(runtime), expander_(std::move(expander)) {}

TConsoleSubsystem::~TConsoleSubsystem() { Close(); }

void TConsoleSubsystem::Open() {
  SetRconTerminating(runtime_.server, false);
  CreateLastConsoleMsgs(runtime_.server);
  SetMessageExpander(runtime_.server, expander_);
  open_ = true;
}

void TConsoleSubsystem::Close() {
  if (!open_) return;
  open_ = false;
  // Requests in flight end at once; the senders are joined before the
  // server state they use goes away.
  SetRconTerminating(runtime_.server, true);
  ConsoleMessageThreads(runtime_.server).Clear();
  DestroyLastConsoleMsgs(runtime_.server);
  SetMessageExpander(runtime_.server, {});
}

// --- status poll --------------------------------------------------------------

TStatusPollSubsystem::TStatusPollSubsystem(TRuntime& runtime) : runtime_(runtime) {}

TStatusPollSubsystem::~TStatusPollSubsystem() { Close(); }

void TStatusPollSubsystem::Open() {
  auto poll = MakeThread<TUserInfoThread>(runtime_.server);  // disabled until Start
  std::lock_guard lock(mutex_);
  poll_ = std::move(poll);
}

void TStatusPollSubsystem::Close() {
  // A request waiting for its turn would hold up the worker's end.
  if (runtime_.server.rcon_budget) runtime_.server.rcon_budget->Cancel();
  TThreadPtr<TUserInfoThread> poll;
  {
    std::lock_guard lock(mutex_);
    poll = std::move(poll_);
  }
}

void TStatusPollSubsystem::Enable(bool on) {
  std::lock_guard lock(mutex_);
  if (poll_) poll_->Enable(on);
}

}  // namespace kv
