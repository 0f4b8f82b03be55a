#include "core/bus_monitor.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <limits>

#include "core/clock.h"
#include "core/mainloop.h"
#include "core/regional.h"
#include "core/unique_fd.h"

namespace kv {

TMonitor::TMonitor(bool all_categories) : all_categories_(all_categories) {
  ceilings_.fill(std::numeric_limits<int32_t>::max());
}

TMonitor::~TMonitor() {
  // Derived classes stop in their own destructors; this catches the rest.
  Stop();
}

void TMonitor::AddCategory(std::string_view name) {
  TLockGuard lock(settings_mutex_);
  categories_.emplace(name);
}

std::vector<std::string> TMonitor::Categories() const {
  TLockGuard lock(settings_mutex_);
  return {categories_.begin(), categories_.end()};
}

void TMonitor::SetCeiling(uint8_t level, int32_t value) {
  TLockGuard lock(settings_mutex_);
  if (level < kLevelCount) ceilings_[level] = value;
}

void TMonitor::SetLevelAccepted(uint8_t level, bool accepted) {
  TLockGuard lock(settings_mutex_);
  if (level >= kLevelCount) return;
  if (accepted) {
    accepted_ |= static_cast<uint8_t>(1u << level);
  } else {
    accepted_ &= static_cast<uint8_t>(~(1u << level));
  }
}

void TMonitor::SetAcceptedLevels(std::initializer_list<uint8_t> levels) {
  TLockGuard lock(settings_mutex_);
  accepted_ = 0;
  for (uint8_t l : levels) {
    if (l < kLevelCount) accepted_ |= static_cast<uint8_t>(1u << l);
  }
}

void TMonitor::SetSynchronised(bool on) {
  TLockGuard lock(settings_mutex_);
  synchronised_ = on;
}

void TMonitor::SetDataFormatter(uint8_t level, TDataFormatter formatter) {
  TLockGuard lock(settings_mutex_);
  if (level < kLevelCount) formatters_[level] = std::move(formatter);
}

void TMonitor::SetShowTime(bool on) {
  TLockGuard lock(settings_mutex_);
  show_time_ = on;
}

void TMonitor::SetShowLevelName(bool on) {
  TLockGuard lock(settings_mutex_);
  show_level_name_ = on;
}

void TMonitor::SetShowCategory(bool on) {
  TLockGuard lock(settings_mutex_);
  show_category_ = on;
}

bool TMonitor::Accepts(std::string_view category, uint8_t level, int32_t value,
                       const std::string*& spelled) const {
  TLockGuard lock(settings_mutex_);
  if (level >= kLevelCount || ceilings_[level] < value || !(accepted_ & (1u << level))) return false;
  if (all_categories_) {
    spelled = nullptr;
    return true;
  }
  auto it = categories_.find(category);
  if (it == categories_.end()) return false;
  spelled = &*it;
  return true;
}

std::string TMonitor::FormatMessage(std::string_view category, std::string_view text, uint8_t level,
                                    const TMsgData& data) const {
  bool show_time, show_category, show_level;
  TDataFormatter formatter;
  {
    TLockGuard lock(settings_mutex_);
    show_time = show_time_;
    show_category = show_category_;
    show_level = show_level_name_;
    if (level < kLevelCount && formatters_[level]) formatter = formatters_[level];
  }
  std::string s;
  if (show_time) s = regional::DateTimeToStr(Now()) + " - ";
  if (show_category) s += category;
  if (show_level) {
    s += std::string(" (") + LevelName(level) + "): ";
  } else if (!s.empty()) {
    s += ": ";
  }
  s += text;
  if (formatter) {
    try {
      s += " [" + formatter(data) + "]";
    } catch (...) {
      // A formatter that fails adds nothing.
    }
  }
  return s;
}

void TMonitor::Joined(std::weak_ptr<TMsgMonitorInterface> hub) {
  TLockGuard lock(hub_mutex_);
  hub_ = std::move(hub);
}

void TMonitor::Left() {
  TLockGuard lock(hub_mutex_);
  hub_.reset();
}

void TMonitor::LeaveHub() {
  std::shared_ptr<TMsgMonitorInterface> hub;
  {
    TLockGuard lock(hub_mutex_);
    hub = hub_.lock();
  }
  if (hub) hub->RemoveMonitor(this);
}

void TMonitor::Terminate() {
  LeaveHub();
  queue_.Quit();
  TGeneralThread::Terminate();
}

void TMonitor::Stop(int64_t timeout_ms) {
  Terminate();
  // A handler stopping its own subscriber: waiting here would wait for itself.
  if (IsCurrentThread() || delivering_.load() == std::this_thread::get_id()) return;
  TMainLoop* loop = MainLoop();
  const bool on_loop = loop && loop->IsLoopThread();
  auto wait = [&](int64_t ms) {
    return on_loop ? loop->RunUntil([this] { return Finished(); }, ms) : WaitFinished(ms);
  };
  if (!wait(timeout_ms)) {
    // A thread cannot be ended safely from outside: discard what is still
    // queued and wait only for the record in hand.
    queue_.Abort();
    while (!wait(kStopTimeoutMs)) {
    }
  }
  TerminateAndJoin();
}

void TMonitor::SetIdleHandler(std::function<void()> handler) {
  TLockGuard lock(settings_mutex_);
  idle_handler_ = std::move(handler);
}

void TMonitor::Execute() {
  // A handler that posts must never wait for the bus: the bus may be waiting
  // for this very subscriber.
  ExemptThisThreadFromBusWaits();
  {
    const std::vector<std::string> categories = Categories();
    NameThisThread(all_categories_ || categories.empty() ? std::string("bus monitor")
                                                         : "on " + categories.front());
  }
  SetStarted(true);
  std::vector<TMonitorMessage> batch;
  while (queue_.Take(batch)) {
    for (TMonitorMessage& record : batch) {
      if (queue_.Aborted()) break;
      Handle(record);
    }
    batch.clear();  // gives back the claims of records not handled
    std::function<void()> idle;
    {
      TLockGuard lock(settings_mutex_);
      idle = idle_handler_;
    }
    if (idle) {
      try {
        idle();
      } catch (...) {
      }
    }
  }
  SetStarted(false);
}

void TMonitor::Handle(TMonitorMessage& record) {
  bool synchronised;
  {
    TLockGuard lock(settings_mutex_);
    synchronised = synchronised_;
  }
  TMainLoop* loop = synchronised ? MainLoop() : nullptr;
  try {
    if (loop) {
      // When the loop has stopped the record is dropped: a handler that
      // expects the main loop thread must not run anywhere else.
      loop->Invoke([&] { HandleNow(record); });
    } else {
      HandleNow(record);
    }
  } catch (...) {
  }
}

void TMonitor::HandleNow(TMonitorMessage& record) {
  try {
    // The bus is shutting down when no hub is published: drop the record.
    if (BusPublished()) {
      if (all_categories_ && record.category == kMonitorInterfaceCategory && record.level == mlChange &&
          record.text.compare(0, 12, "New Category") == 0) {
        AddCategory(NoticeBlockName(record.data));
      }
      if (record.object) record.data = record.object.Lock();
      const std::string text = FormatMessage(record.category, record.text, record.level, record.data);
      struct TMark {
        std::atomic<std::thread::id>& who;
        ~TMark() { who.store({}); }
      } mark{delivering_};
      delivering_.store(std::this_thread::get_id());
      Deliver(record.category, text, record.data, record.level);
    }
  } catch (...) {
    // A failing handler costs its record, never the subscriber.
  }
  // Given back on this thread: the entry's lock belongs to it.
  record.object.Release();
  record.data = {};
  record.load = {};
}

void TMsgMonitor::SetLevelHandler(uint8_t level, TMsgHandler handler) {
  TLockGuard lock(handlers_mutex_);
  if (level < kLevelCount) handlers_[level] = std::move(handler);
}

void TMsgMonitor::Deliver(const std::string& category, const std::string& text, TMsgData& data,
                          uint8_t level) {
  TMsgHandler handler;
  {
    TLockGuard lock(handlers_mutex_);
    handler = handlers_[level];
  }
  if (handler) handler(category, text, data, level);
}

// ---- TFileMonitor ----

std::string OperatingSystemText() {
  struct utsname u {};
  if (uname(&u) != 0) return "Linux";
  return std::string(u.sysname) + " " + u.release;
}

// One open log file, locked against other writers while it is open.
class TFileMonitor::TLogFile {
 public:
  static std::shared_ptr<TLogFile> Open(const std::string& name) {
    TUniqueFd fd(::open(name.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (!fd || ::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return nullptr;
    auto file = std::make_shared<TLogFile>(std::move(fd));
    file->Write("\r\n\r\nLog gestartet: " + regional::DateTimeToStr(Now()) +
                " Betriebssystem: " + OperatingSystemText() + "\r\n");
    return file;
  }

  explicit TLogFile(TUniqueFd fd) : fd_(std::move(fd)) {}
  TLogFile(const TLogFile&) = delete;
  TLogFile& operator=(const TLogFile&) = delete;
  ~TLogFile() {
    // The last line; then fd_ closes, which also drops the lock.
    Write("Log beendet: " + regional::DateTimeToStr(Now()) + "\r\n");
  }

  void Write(const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
      const ssize_t n = ::write(fd_.Get(), s.data() + done, s.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // a full disk loses log lines, not the service
      done += static_cast<size_t>(n);
    }
  }

 private:
  TUniqueFd fd_;
};

TFileMonitor::~TFileMonitor() {
  Stop();
  TLockGuard lock(files_mutex_);
  for (auto& f : files_) f.reset();
}

void TFileMonitor::SetLogFile(uint8_t level, const std::string& file_name) {
  if (level >= kLevelCount) return;
  TLockGuard lock(files_mutex_);
  if (names_[level] == file_name) return;
  names_[level] = file_name;
  files_[level].reset();  // "Log beendet" unless another level still writes there
  if (file_name.empty()) return;
  for (int l = 0; l < kLevelCount; ++l) {
    if (l != level && names_[l] == file_name && files_[l]) {
      files_[level] = files_[l];
      return;
    }
  }
  files_[level] = TLogFile::Open(file_name);
}

bool TFileMonitor::HasLogFile(uint8_t level) const {
  TLockGuard lock(files_mutex_);
  return level < kLevelCount && files_[level] != nullptr;
}

void TFileMonitor::Deliver(const std::string&, const std::string& text, TMsgData&, uint8_t level) {
  TLockGuard lock(files_mutex_);
  if (files_[level]) files_[level]->Write(text + "\r\n");
}

}  // namespace kv
