// Server configuration sets: named bundles of game-server settings (map
// rotation, passwords, limits, game type, extra console commands) and
// switches for our own checks, kept in Data/Configurations.dat. Activating
// a set announces the change to the players, waits the set's delay,
// switches our checks and sends the server's commands one by one over
// rcon, each repeated until the server answers it. One worker thread
// applies one set at a time; the operator's terminal and the remote
// administration use the operations below.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/stream.h"
#include "domain/runtime.h"
#include "domain/subsystem.h"
#include "formats/varlist.h"

namespace kv {

inline constexpr const char* kConfigLoadError = "Error loading Mohaa Config";
// Attempts at one command until the server answers it.
inline constexpr int kConfigAttempts = 12;
// At least this long from one attempt to the next, so that a request that
// fails at once (nobody listens on the port) does not spin.
inline constexpr int64_t kConfigRetryPauseMs = 1000;

// Configurations.dat, little-endian: a 32-bit count, then per set a 32-bit
// byte length and the set's variable list in that many bytes.
void WriteConfigurationsFile(TStream& out, const std::vector<TVarList>& sets);
// Appends the sets of the stream to `sets` as they are read; an empty
// stream holds none. Throws EVarListError(kConfigLoadError) for a negative
// count, a count larger than the records the file holds and a record
// length beyond the file's end, and the variable list's own error for a
// damaged record; the sets read before the damage stay in `sets`. Never
// allocates more than the stream's size.
void ReadConfigurationsFile(TStream& in, std::vector<TVarList>& sets);

// The set's Name (empty when it has none).
std::string ConfigName(const TVarList& set);

// The list of sets and its worker. Every list operation takes the list's
// lock (only the sets' own variable-list locks are taken under it;
// "ConfigListChanged" is posted after it is released). Any thread unless
// said otherwise.
class TMohaaConfigList : public TSubsystem {
 public:
  // Asks the service to read the settings again into every part's snapshot
  // (after a set switched our checks). Called on the worker thread; it must
  // not wait for the main loop.
  using TReapplySettings = std::function<void()>;

  TMohaaConfigList(TRuntime& runtime, TReapplySettings reapply);
  ~TMohaaConfigList() override;  // Close
  TMohaaConfigList(const TMohaaConfigList&) = delete;
  TMohaaConfigList& operator=(const TMohaaConfigList&) = delete;

  std::string_view Name() const override { return "configs"; }
  void RegisterDataFiles(TDataFileRegistry& registry) override;
  void RegisterCommands(TCommandTable& commands) override;
  // Starts the worker ("TMohaaConfigList Started").
  void Open() override;
  // Cancels a running activation, ends the worker ("TMohaaConfigList
  // Stopped") and waits for it; its waits end at once.
  void Close() override;

  // --- the list ---------------------------------------------------------
  // Appends a copy when the set has a non-empty Name that no set has yet
  // (letter case not counting) and posts "ConfigListChanged". False
  // otherwise (nothing changes).
  bool Add(const TVarList& set);
  // Replaces the set named `name` (exact) in its place by `set`, whose Name
  // must be non-empty and not another set's. Posts "ConfigListChanged".
  bool Update(const std::string& name, const TVarList& set);
  // Removes the first set named exactly `name`; posts "ConfigListChanged".
  bool Delete(const std::string& name);
  void Clear();  // posts "ConfigListChanged"
  // A copy of the set named exactly `name`.
  std::optional<TVarList> Find(const std::string& name) const;
  // The stored Name of the set named `name` without regard to letter case
  // (the terminal's look-up); empty when there is none.
  std::string ResolveName(const std::string& name) const;
  std::vector<std::string> Names() const;  // in list order
  size_t Count() const;
  // Writes the set named exactly `name` as a variable list stream (what a
  // remote client receives); false when there is none.
  bool SaveOne(const std::string& name, TStream& out) const;

  // Replaces the list from the file form (sets that Add refuses — no Name,
  // a Name taken — are left out with a warning) and posts one
  // "ConfigListChanged". Throws what ReadConfigurationsFile throws; the
  // sets read before the damage stay.
  void Load(TStream& in);
  void Save(TStream& out) const;

  // --- activation ---------------------------------------------------------
  // Queues the activation of the set named exactly `name`. False when there
  // is none, or another activation is queued or running (the busy rule).
  // Clears the cancel flag.
  bool Activate(const std::string& name);
  // Ends a queued or running activation at once: its waits (the delay,
  // the pauses) and a reply wait under way return; what is under way is
  // not sent again. A request still waiting for its turn in the rcon
  // budget ends when it gets its turn (at most the budget's longest wait).
  void Cancel();
  bool Busy() const;
  // The set being applied, and what it is doing ("waiting 30 s", "sending
  // sv_hostname ..."); empty when idle.
  std::string RunningName() const;
  std::string Progress() const;

  // For tests: how often the worker has looked at the clock after waiting,
  // and whether it is waiting for a clock deadline (the delay, a pause or a
  // retry) right now.
  uint64_t WorkerWakeups() const;
  bool WorkerWaiting() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
};

}  // namespace kv
