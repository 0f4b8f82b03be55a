// Bus subscribers. TMonitor is the thread that receives records from the
// hub, filters and formats them; TMsgMonitor calls a handler per level,
// TFileMonitor writes each level to a log file of its own.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/bus.h"
#include "core/bus_hub.h"
#include "core/bus_message.h"
#include "core/thread_annotations.h"
#include "core/threads.h"

namespace kv {

// Turns a message's data into text for the formatted message.
using TDataFormatter = std::function<std::string(const TMsgData& data)>;
// (category as the subscriber spells it, formatted text, data, level). The
// handler may move an object or a block out of `data` to keep it.
using TMsgHandler =
    std::function<void(const std::string& category, const std::string& text, TMsgData& data, uint8_t level)>;

inline constexpr int kLevelCount = 8;

class TMonitor : public TGeneralThread {
 public:
  static constexpr int64_t kStopTimeoutMs = 5000;

  explicit TMonitor(bool all_categories);
  ~TMonitor() override;

  // Settings; any thread, at any time.
  bool AllCategories() const { return all_categories_; }
  void AddCategory(std::string_view name);  // no duplicates (case-insensitive)
  std::vector<std::string> Categories() const;
  void SetCeiling(uint8_t level, int32_t value);
  void SetLevelAccepted(uint8_t level, bool accepted);
  void SetAcceptedLevels(std::initializer_list<uint8_t> levels);  // exactly these
  // Synchronised: each record is handled on the main loop thread while this
  // thread waits. Without an installed main loop it is handled here.
  void SetSynchronised(bool on);
  void SetDataFormatter(uint8_t level, TDataFormatter formatter);
  void SetShowTime(bool on);
  void SetShowLevelName(bool on);
  void SetShowCategory(bool on);
  // Called on the subscriber's own thread each time it has handled every
  // record it had, before it waits for more (a writer flushes its buffers
  // there). Flush returns only after it ran.
  void SetIdleHandler(std::function<void()> handler);

  // The message as this subscriber shows it.
  std::string FormatMessage(std::string_view category, std::string_view text, uint8_t level,
                            const TMsgData& data) const;

  // Leaves the hub and asks the thread to end after the records already
  // queued; waits up to timeout_ms — on the main loop thread while keeping
  // the loop running, so a synchronised delivery in progress can finish.
  // When the wait runs out the rest is discarded and only the record in hand
  // is waited for. From inside one of its own handlers it only asks.
  void Stop(int64_t timeout_ms = kStopTimeoutMs);
  // Leaves the hub and requests the end, without waiting.
  void Terminate() override;
  size_t Pending() const { return queue_.Size(); }
  // Waits until everything queued so far has been handled.
  bool Flush(int64_t timeout_ms) { return queue_.WaitIdle(timeout_ms); }
  // True once a Stop has run out of time and discards the rest.
  bool Discarding() const { return queue_.Aborted(); }
  // Expires when this subscriber is destroyed (for TBusSubscription).
  std::weak_ptr<const void> Lifetime() const { return lifetime_; }

 protected:
  // Delivers one formatted message; subscriber thread or main loop thread.
  virtual void Deliver(const std::string& category, const std::string& text, TMsgData& data,
                       uint8_t level) = 0;

 private:
  friend class TMsgMonitorInterface;
  // Hub side, under the hub's subscriber lock: whether the subscriber takes
  // the record; `spelled` then points to its own spelling of the category
  // (its list never loses a name), or stays null for "as posted" (an
  // all-categories subscriber).
  bool Accepts(std::string_view category, uint8_t level, int32_t value, const std::string*& spelled) const;
  bool Enqueue(TMonitorMessage&& record, bool wake) { return queue_.Push(std::move(record), wake); }
  void WakeQueue() { queue_.WakeConsumer(); }
  void Joined(std::weak_ptr<TMsgMonitorInterface> hub);
  void Left();

  void Execute() override;
  void Handle(TMonitorMessage& record);
  void HandleNow(TMonitorMessage& record);
  void LeaveHub();

  const bool all_categories_;
  const std::shared_ptr<const void> lifetime_ = std::make_shared<char>(0);
  TMessageQueue queue_;
  // The thread running this subscriber's Deliver right now (its own or the
  // main loop's), so that a handler stopping its own subscriber only asks.
  std::atomic<std::thread::id> delivering_{};

  mutable TMutex hub_mutex_;  // guards hub_; never held while calling the hub
  std::weak_ptr<TMsgMonitorInterface> hub_ GUARDED_BY(hub_mutex_);

  // The settings lock: guards everything below. Taken under the hub's
  // subscriber lock; never held while a handler or formatter runs.
  mutable TMutex settings_mutex_;
  std::set<std::string, TCategoryLess> categories_ GUARDED_BY(settings_mutex_);
  std::array<int32_t, kLevelCount> ceilings_ GUARDED_BY(settings_mutex_);
  uint8_t accepted_ GUARDED_BY(settings_mutex_) = 0xFF;  // bit per level
  bool synchronised_ GUARDED_BY(settings_mutex_) = false;
  bool show_time_ GUARDED_BY(settings_mutex_) = false;
  bool show_level_name_ GUARDED_BY(settings_mutex_) = false;
  bool show_category_ GUARDED_BY(settings_mutex_) = false;
  std::array<TDataFormatter, kLevelCount> formatters_ GUARDED_BY(settings_mutex_);
  std::function<void()> idle_handler_ GUARDED_BY(settings_mutex_);
};

class TMsgMonitor : public TMonitor {
 public:
  explicit TMsgMonitor(bool all_categories) : TMonitor(all_categories) {}
  ~TMsgMonitor() override { Stop(); }
  void SetLevelHandler(uint8_t level, TMsgHandler handler);

 protected:
  void Deliver(const std::string& category, const std::string& text, TMsgData& data, uint8_t level) override;

 private:
  mutable TMutex handlers_mutex_;  // guards handlers_; a leaf
  std::array<TMsgHandler, kLevelCount> handlers_ GUARDED_BY(handlers_mutex_);
};

class TFileMonitor : public TMonitor {
 public:
  explicit TFileMonitor(bool all_categories) : TMonitor(all_categories) {}
  // Stops the thread; every open file gets "Log beendet: " + date and time.
  ~TFileMonitor() override;
  // Switches the level to another file (nothing when the name is the same):
  // the old file gets "Log beendet: ..." when no other level still writes to
  // it; the new one is created when missing, locked against other writers,
  // appended to, and starts with a blank line pair and "Log gestartet: " +
  // date and time + " Betriebssystem: " + system name + " " + version. A file
  // that cannot be opened or locked leaves the level without a file. Levels
  // of one subscriber with the same file name share the open file. An empty
  // name closes the level's file.
  void SetLogFile(uint8_t level, const std::string& file_name);
  bool HasLogFile(uint8_t level) const;

  class TLogFile;

 protected:
  void Deliver(const std::string& category, const std::string& text, TMsgData& data, uint8_t level) override;

 private:
  mutable TMutex files_mutex_;  // guards names_ and files_; a leaf
  std::array<std::string, kLevelCount> names_ GUARDED_BY(files_mutex_);
  std::array<std::shared_ptr<TLogFile>, kLevelCount> files_ GUARDED_BY(files_mutex_);
};

// "Linux 6.1.0-..." — the system name and version in the file headers.
std::string OperatingSystemText();

}  // namespace kv
