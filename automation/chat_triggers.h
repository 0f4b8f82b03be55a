// TChatTriggerList: the operator's chat triggers. Each is a variable list
// (Trigger: the regular expression, also its identity; Reaction: the text
// to say, with backslash escapes and several lines; timeout: seconds
// between two firings, 10 when absent; LastExec: when it last fired),
// kept in the order added or loaded.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "formats/varlist.h"

namespace kv {

class TPattern;
class TStream;

// An add or update refused: "can not add trigger: " + the expression's
// error, "can not update trigger: " + the error.
class EChatTriggerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr int32_t kDefaultTriggerTimeout = 10;

// One trigger as it is shown and as the chat watch runs it.
struct TChatTriggerInfo {
  std::string trigger;
  std::string reaction;
  int32_t timeout = kDefaultTriggerTimeout;
  double last_exec = 0;  // date-time; 0: never
  std::string error;     // why the expression does not compile (loaded from a file); empty: it does
};

// A trigger that fired (what to say), or whose test failed (why).
struct TFiredTrigger {
  std::string trigger;
  std::string reaction;  // as stored, escapes not yet decoded
  std::string error;     // the test ran into the expression engine's work limit: nothing fired
};

// Threads: the chat watch fires triggers under the read lock; the
// operator's commands and the data-file load write under the write lock
// (a leaf: nothing is posted or said while it is held).
class TChatTriggerList {
 public:
  TChatTriggerList();
  ~TChatTriggerList();
  TChatTriggerList(const TChatTriggerList&) = delete;
  TChatTriggerList& operator=(const TChatTriggerList&) = delete;

  // Appends a copy unless a trigger with the same text is listed already
  // (then nothing changes). Throws EChatTriggerError when the Trigger is no
  // valid expression.
  void Add(const TVarList& trigger);
  // The trigger whose text equals `old_trigger` takes over every variable
  // of `trigger`; none: no change. Throws EChatTriggerError when the new
  // Trigger is no valid expression.
  void Update(const std::string& old_trigger, const TVarList& trigger);
  // Removes the trigger with exactly this text; false when there is none.
  bool Delete(const std::string& trigger);
  std::optional<TVarList> Find(const std::string& trigger) const;
  std::vector<std::string> Names() const;
  std::vector<TChatTriggerInfo> Triggers() const;
  size_t Count() const;
  void Clear();
  // Replaces the list with the file's triggers. A trigger whose expression
  // does not compile is kept (nothing of the file is lost) but never fires;
  // the returned texts say which and why. Throws what ReadChatTriggerFile
  // throws, keeping the triggers read before the damage.
  std::vector<std::string> Load(TStream& in);
  void Save(TStream& out) const;

  // The triggers that fire for a chat line at `when` (a date-time): each
  // whose timeout has run out since its last firing and whose expression
  // matches. Their LastExec becomes `when`. In list order, with the ones
  // whose test failed (`error` set; their LastExec stays).
  std::vector<TFiredTrigger> Fire(const std::string& chat, double when);

 private:
  struct TEntry;
  static std::shared_ptr<TEntry> Make(const TVarList& vars, std::string& error);

  mutable std::shared_mutex mutex_;
  std::vector<std::shared_ptr<TEntry>> entries_;  // guarded by mutex_
};

// The Trigger text of a variable list (empty when absent or no text).
std::string ChatTriggerText(const TVarList& trigger);

}  // namespace kv
