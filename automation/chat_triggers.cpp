#include "automation/chat_triggers.h"

#include <atomic>
#include <mutex>

#include "automation/chat_trigger_file.h"
#include "core/stream.h"
#include "enforcement/pattern.h"

namespace kv {
namespace {

std::string TextOf(const TVarList& vars, const char* name) {
  TVariant v;
  if (!vars.TryGetValue(name, v) || v.IsEmptyOrNull()) return {};
  try {
    return v.AsString();
  } catch (const std::exception&) {
    return {};
  }
}

int32_t TimeoutOf(const TVarList& vars) {
  TVariant v;
  if (!vars.TryGetValue("timeout", v) || v.IsEmptyOrNull()) return kDefaultTriggerTimeout;
  try {
    return v.AsInteger();
  } catch (const std::exception&) {
    return kDefaultTriggerTimeout;
  }
}

double LastExecOf(const TVarList& vars) {
  TVariant v;
  if (!vars.TryGetValue("LastExec", v) || v.IsEmptyOrNull()) return 0;
  try {
    return v.AsDouble();
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace

std::string ChatTriggerText(const TVarList& trigger) { return TextOf(trigger, "Trigger"); }

struct TChatTriggerList::TEntry {
  TVarList vars;  // the whole list as stored: it is written back unchanged but for LastExec
  std::string trigger, reaction;
  int32_t timeout = kDefaultTriggerTimeout;
  std::atomic<double> last_exec{0};  // the chat watch sets it under the read lock
  std::shared_ptr<const TPattern> pattern;
  std::string error;
};

TChatTriggerList::TChatTriggerList() = default;
TChatTriggerList::~TChatTriggerList() = default;

std::shared_ptr<TChatTriggerList::TEntry> TChatTriggerList::Make(const TVarList& vars, std::string& error) {
  auto e = std::make_shared<TEntry>();
  e->vars.Assign(&vars);
  e->vars.SetRaiseWhenMissing(false);
  e->trigger = TextOf(vars, "Trigger");
  e->reaction = TextOf(vars, "Reaction");
  e->timeout = TimeoutOf(vars);
  e->last_exec = LastExecOf(vars);
  e->pattern = TPattern::Compile(e->trigger, error);
  e->error = error;
  return e;
}

void TChatTriggerList::Add(const TVarList& trigger) {
  std::string error;
  auto e = Make(trigger, error);
  if (!e->pattern) throw EChatTriggerError("can not add trigger: " + error);
  std::unique_lock lock(mutex_);
  for (const auto& x : entries_)
    if (x->trigger == e->trigger) return;
  entries_.push_back(std::move(e));
}

void TChatTriggerList::Update(const std::string& old_trigger, const TVarList& trigger) {
  std::string error;
  auto e = Make(trigger, error);
  if (!e->pattern) throw EChatTriggerError("can not update trigger: " + error);
  std::unique_lock lock(mutex_);
  for (auto& x : entries_)
    if (x->trigger == old_trigger) {
      x = std::move(e);
      return;
    }
}

bool TChatTriggerList::Delete(const std::string& trigger) {
  std::unique_lock lock(mutex_);
  for (auto it = entries_.begin(); it != entries_.end(); ++it)
    if ((*it)->trigger == trigger) {
      entries_.erase(it);
      return true;
    }
  return false;
}

std::optional<TVarList> TChatTriggerList::Find(const std::string& trigger) const {
  std::shared_lock lock(mutex_);
  for (const auto& x : entries_)
    if (x->trigger == trigger) return x->vars;
  return std::nullopt;
}

std::vector<std::string> TChatTriggerList::Names() const {
  std::shared_lock lock(mutex_);
  std::vector<std::string> out;
  for (const auto& x : entries_) out.push_back(x->trigger);
  return out;
}

std::vector<TChatTriggerInfo> TChatTriggerList::Triggers() const {
  std::shared_lock lock(mutex_);
  std::vector<TChatTriggerInfo> out;
  for (const auto& x : entries_)
    out.push_back({x->trigger, x->reaction, x->timeout, x->last_exec.load(), x->error});
  return out;
}

size_t TChatTriggerList::Count() const {
  std::shared_lock lock(mutex_);
  return entries_.size();
}

void TChatTriggerList::Clear() {
  std::unique_lock lock(mutex_);
  entries_.clear();
}

std::vector<std::string> TChatTriggerList::Load(TStream& in) {
  std::vector<TVarList> read;
  std::string failure;
  try {
    ReadChatTriggerFile(in, read);
  } catch (const EStreamError& e) {
    failure = e.what();
  }
  std::vector<std::shared_ptr<TEntry>> made;
  std::vector<std::string> broken;
  for (const auto& vars : read) {
    std::string error;
    made.push_back(Make(vars, error));
    if (!made.back()->pattern)
      broken.push_back("Chat Trigger [" + made.back()->trigger +
                       "] is no valid expression and never fires: " + error);
  }
  {
    std::unique_lock lock(mutex_);
    entries_ = std::move(made);
  }
  if (!failure.empty()) throw EStreamError(failure);
  return broken;
}

void TChatTriggerList::Save(TStream& out) const {
  std::vector<TVarList> copies;
  {
    std::shared_lock lock(mutex_);
    copies.reserve(entries_.size());
    for (const auto& x : entries_) copies.push_back(x->vars);
  }
  WriteChatTriggerFile(out, copies);
}

std::vector<TFiredTrigger> TChatTriggerList::Fire(const std::string& chat, double when) {
  std::vector<TFiredTrigger> fired;
  std::shared_lock lock(mutex_);
  for (const auto& x : entries_) {
    if (!x->pattern) continue;
    if (!(when > x->last_exec.load() + x->timeout / 86400.0)) continue;
    std::string matched, error;
    if (!x->pattern->Search(chat, matched, &error)) {
      if (!error.empty()) fired.push_back({x->trigger, {}, error});
      continue;
    }
    x->last_exec = when;
    x->vars.SetValue("LastExec", TVariant::Date(when));
    fired.push_back({x->trigger, x->reaction, {}});
  }
  return fired;
}

}  // namespace kv
