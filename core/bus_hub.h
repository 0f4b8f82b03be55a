// TMsgMonitorInterface: the bus hub. It owns the table of registered
// categories, the list of subscribers and the object manager, and its thread
// dispatches every posted record, in posting order, to the subscribers that
// want it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/bus.h"
#include "core/bus_message.h"
#include "core/bus_objects.h"
#include "core/mainloop.h"
#include "core/thread_annotations.h"
#include "core/threads.h"

namespace kv {

class TMonitor;

inline constexpr const char* kMonitorInterfaceCategory = "MonitorInterface";
inline constexpr int32_t kMonitorInterfaceKind = 256;

// Case-insensitive ordering, hashing and equality of category names under
// the code page.
struct TCategoryLess {
  bool operator()(std::string_view a, std::string_view b) const;
  using is_transparent = void;
};
struct TCategoryHash {
  size_t operator()(std::string_view name) const;
};
struct TCategoryEqual {
  bool operator()(std::string_view a, std::string_view b) const;
};

class TMsgMonitorInterface : public TGeneralThread,
                             public std::enable_shared_from_this<TMsgMonitorInterface> {
  struct TPasskey {};

 public:
  // Creates the hub: its object manager (purge timer on `loop` when given),
  // the "MonitorInterface" category, its running thread; then publishes it.
  // Throws EBusError when a hub is already published. The loop, when given,
  // must outlive the hub's Stop.
  static std::shared_ptr<TMsgMonitorInterface> Create(TMainLoop* loop = MainLoop());

  explicit TMsgMonitorInterface(TPasskey, TMainLoop* loop);
  ~TMsgMonitorInterface() override;

  // New name: registered with its kind, notice "New Category:[name]".
  // Existing name: one more provider, notice "Added Category Provider:[name]";
  // its kind stays. Any thread.
  void RegisterCategory(std::string_view name, int32_t kind);
  // With extra providers: one fewer, notice "Lost Category Provider: [name]".
  // Otherwise removed with the notice "Deleted Category: [name]". Unknown
  // names are ignored. Any thread.
  void UnregisterCategory(std::string_view name);
  bool IsRegistered(std::string_view name, int32_t* kind = nullptr) const;
  std::vector<std::string> Categories() const;

  // Appends the subscriber (once); an all-categories subscriber is given
  // every registered name; notice "New Monitor:" + thread id in hexadecimal.
  // The subscriber stays valid until RemoveMonitor (its Stop does that).
  void AddMonitor(TMonitor* monitor);
  // Notice "Lost Monitor:" + thread id. After return the hub no longer
  // touches the subscriber.
  void RemoveMonitor(TMonitor* monitor);
  size_t MonitorCount() const;

  TObjectManager& Objects() { return *objects_; }
  // Wakes the hub's thread for records queued without waking it
  // (TBusPostBatch).
  void WakeQueue() { queue_.WakeConsumer(); }
  // Holds the dispatch of queued records (posting goes on) until released;
  // for diagnostics and for tests that need records to wait in the queue.
  void HoldDispatch(bool hold) { queue_.Hold(hold); }
  // Waits until every record posted so far has been dispatched; false when
  // timeout_ms ran out first. For an orderly shutdown.
  bool Flush(int64_t timeout_ms) { return queue_.WaitIdle(timeout_ms); }

  // Unpublishes the hub (every post returns false from then on), lets the
  // thread dispatch what is already queued and waits for it — keeping the
  // main loop running when called on it — then unregisters every category
  // ("MonitorInterface" last) and drops the objects. Idempotent.
  void Stop();

  // Queues a posted record; true when its category is registered now.
  // Called by PostMonitorMessage under the read side of the publication lock.
  bool Post(TMonitorMessage&& record);

 private:
  struct TCategory {
    std::string name;
    int32_t kind = 0;
    uint32_t extra_providers = 0;
  };
  void Execute() override;
  // Hands one record to every subscriber that wants it. Hub thread, or the
  // calling thread for notices. Without `wake` the subscribers are not woken
  // (the hub wakes them after a row of records: WakeMonitors).
  void Dispatch(TMonitorMessage& record, bool wake = true);
  void WakeMonitors();
  // Under categories_mutex_: the category of that name, or null.
  const TCategory* FindCategory(std::string_view name) const REQUIRES_SHARED(categories_mutex_);
  void Notice(const std::string& text, std::string_view name);

  TMainLoop* loop_;
  std::shared_ptr<TObjectManager> objects_;
  TMainLoop::TTimerId purge_timer_ = 0;
  TMessageQueue queue_;
  std::once_flag stop_once_;

  // The category lock: guards categories_. Taken before monitors_mutex_.
  mutable TSharedMutex categories_mutex_;
  std::map<std::string, TCategory, TCategoryLess> categories_ GUARDED_BY(categories_mutex_);
  // The same categories by name for the look-up of every post and dispatch;
  // the keys view the names held in categories_.
  std::unordered_map<std::string_view, TCategory*, TCategoryHash, TCategoryEqual> index_
      GUARDED_BY(categories_mutex_);
  uint64_t generation_ GUARDED_BY(categories_mutex_);  // changes with every change of the table
  // The subscriber lock: guards monitors_. Taken before a subscriber's
  // settings lock and its queue lock.
  mutable TMutex monitors_mutex_ ACQUIRED_AFTER(categories_mutex_);
  std::vector<TMonitor*> monitors_ GUARDED_BY(monitors_mutex_);
};

// The published hub, or nothing before it was created and after its Stop.
std::shared_ptr<TMsgMonitorInterface> GetMonitorInterface();
// Whether a hub is published now, without taking the publication lock.
bool BusPublished();

// The 256-byte block of the hub's notices: a length byte, then the name.
std::vector<uint8_t> MakeNoticeBlock(std::string_view name);
std::string NoticeBlockName(const TMsgData& data);

}  // namespace kv
