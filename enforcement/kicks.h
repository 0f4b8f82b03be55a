// Kicking players. AddKickThread is the one way every rule, the operator
// and remote administrators throw a player off the server: it announces
// the reason in the game, waits, sends "clientkick" until the server
// confirms, and publishes "UserKicked". The registry TKickThreadList lets
// at most one kick per client number be under way, so several rules that
// fire at once produce one kick.
//
// No kick holds a thread while it waits: every kick under way is a small
// state machine (TKickThread) scheduled on the injectable clock, and one
// kick worker thread runs whichever step is due next (an announcement, a
// "clientkick" request, the closing announcement).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "domain/subsystem.h"
#include "gamelink/console.h"  // TReplaceArray

namespace kv {

struct TRuntime;

// What a rule needs to kick: a seam, so that a rule can be tested with a
// kicker that only records.
class TKicker {
 public:
  virtual ~TKicker() = default;
  // Requests a kick of the client. `message` is a template, expanded with
  // `extra` for this client when the kick starts; it is said `repetitions`
  // times. delay_seconds >= 0: announce, then kick, the delay split around
  // the announcement (SplitKickDelay); < 0: kick first, then announce the
  // repetitions |delay| milliseconds apart. False for the placeholder
  // numbers -1 and -999 (with a level-4 message) and while a kick of that
  // client is under way (silently). Any thread; never waits for the network.
  virtual bool AddKickThread(int32_t client_number, int32_t repetitions, int32_t delay_seconds,
                             const TReplaceArray& extra, const std::string& message) = 0;
  // Whether a kick of that client is under way. Any thread.
  virtual bool IsKickPending(int32_t client_number) const = 0;
};

// How long "clientkick" is repeated (and an announcement retried) against
// a server that never confirms before the kick is given up with a level-2
// message. Meanwhile the client number stays blocked for other kicks.
inline constexpr int64_t kKickGiveUpMs = 5 * 60 * 1000;
inline constexpr int64_t kKickRetryMs = 500;           // between two "clientkick"
inline constexpr int64_t kAnnouncementRetryMs = 1000;  // after a Say not delivered

// The wait before and after the announcement for a delay >= 0: 6 s and
// more: delay - 5 and 5; 3 to 5 s: delay - 1 and 1; 0 to 2 s: 0 and delay.
struct TKickDelaySplit {
  int64_t before_ms = 0;
  int64_t after_ms = 0;
};
TKickDelaySplit SplitKickDelay(int32_t delay_seconds);

// The operator kick's timing (MKickDelay, MKickRepeat).
struct TOperatorKickSettings {
  int32_t delay = 5;
  int32_t repeat = 1;
};

// The registry and its worker; one per service.
//
// Threads and locks: AddKickThread / IsKickPending from any thread take the
// registry lock (a leaf: nothing else is taken under it). The worker takes
// it only to pick the next due step and to reschedule; the step itself
// (placeholder expansion, rcon requests, bus posts) runs without it.
class TKickThreadList : public TSubsystem, public TKicker {
 public:
  explicit TKickThreadList(TRuntime& runtime);
  // Ends the worker (Close); kicks still under way are dropped.
  ~TKickThreadList() override;
  TKickThreadList(const TKickThreadList&) = delete;
  TKickThreadList& operator=(const TKickThreadList&) = delete;

  std::string_view Name() const override { return "kicks"; }
  // Its rows of the settings catalogue.
  static std::span<const TSettingRows> Rows();
  std::span<const TSettingRows> SettingRows() const override { return Rows(); }
  // "kick N [message]".
  void RegisterCommands(TCommandTable& commands) override;
  // MKickDelay, MKickRepeat for the operator's kicks.
  void ApplySettings(TSettings& settings) override;
  // Starts the kick worker. Kicks requested before run once it is open.
  void Open() override;
  // Ends the worker after the step in progress; kicks under way are dropped
  // (a kick is not carried over a restart). Idempotent.
  void Close() override;

  bool AddKickThread(int32_t client_number, int32_t repetitions, int32_t delay_seconds,
                     const TReplaceArray& extra, const std::string& message) override;
  bool IsKickPending(int32_t client_number) const override;

  // The operator's kick: MKickRepeat and MKickDelay with that message.
  bool KickByOperator(int32_t client_number, const std::string& message);
  // Kicks under way (the debug view's "KickThreads"). Any thread.
  size_t Count() const;
  // How many times the worker has come back from waiting (tests). Any thread.
  uint64_t WorkerWakeups() const;
  // True while the worker sleeps because no step is due (tests: after a
  // move of the clock, everything that became due has run). Any thread.
  bool WorkerIdle() const;

  struct TImpl;

 private:
  std::unique_ptr<TImpl> impl_;
};

}  // namespace kv
