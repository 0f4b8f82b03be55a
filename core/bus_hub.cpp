#include "core/bus_hub.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <limits>

#include "core/bus_monitor.h"
#include "core/cp1252.h"

namespace kv {
namespace {

// The publication lock and slot. Posting takes the read side for the short
// time it queues a record; Create and Stop take the write side.
TSharedMutex g_publication_mutex;
std::shared_ptr<TMsgMonitorInterface> g_hub GUARDED_BY(g_publication_mutex);
// Whether g_hub is set; written under the write side, read without the lock
// by subscribers, which only ask whether the bus is still up.
std::atomic<bool> g_hub_published{false};

std::string MonitorId(const TMonitor* monitor) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "%04llX", static_cast<unsigned long long>(monitor->ThreadId()));
  return buf;
}

std::string CutCategory(std::string_view name) { return std::string(name.substr(0, kMaxCategoryLength)); }

}  // namespace

namespace {

// Every change of any hub's category table takes the next number.
std::atomic<uint64_t> g_category_generation{0};

// Posts of this thread inside a TBusPostBatch, and those not yet woken for.
thread_local int t_batch_depth = 0;
thread_local int t_batch_unwoken = 0;
constexpr int kWakeEvery = 256;  // records queued before the consumer is woken anyway

}  // namespace

// AnsiCompareText's order.
bool TCategoryLess::operator()(std::string_view a, std::string_view b) const {
  const auto& lower = AnsiLowerTable();
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = lower[static_cast<unsigned char>(a[i])];
    const unsigned char y = lower[static_cast<unsigned char>(b[i])];
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

size_t TCategoryHash::operator()(std::string_view name) const {
  // Names that compare equal must hash equal: letters count without their
  // case bit, and every character above ASCII alike (the code page's other
  // case pairs are there).
  uint64_t h = 14695981039346656037ull;  // FNV-1a
  for (char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    h = (h ^ (c >= 0x80 ? 0x80u : c | 0x20u)) * 1099511628211ull;
  }
  return static_cast<size_t>(h);
}

bool TCategoryEqual::operator()(std::string_view a, std::string_view b) const {
  if (a.size() != b.size()) return false;
  if (a == b) return true;  // posted as registered, mostly
  const auto& lower = AnsiLowerTable();
  for (size_t i = 0; i < a.size(); ++i)
    if (lower[static_cast<unsigned char>(a[i])] != lower[static_cast<unsigned char>(b[i])]) return false;
  return true;
}

TBusPostBatch::TBusPostBatch() { ++t_batch_depth; }

TBusPostBatch::~TBusPostBatch() {
  if (--t_batch_depth == 0) WakeForBatchedPosts();
}

void WakeForBatchedPosts() {
  if (t_batch_unwoken == 0) return;
  t_batch_unwoken = 0;
  if (auto hub = GetMonitorInterface()) hub->WakeQueue();
}

std::vector<uint8_t> MakeNoticeBlock(std::string_view name) {
  std::vector<uint8_t> block(kMonitorInterfaceKind, 0);
  const size_t n = std::min<size_t>(name.size(), kMonitorInterfaceKind - 1);
  block[0] = static_cast<uint8_t>(n);
  std::copy_n(name.begin(), n, block.begin() + 1);
  return block;
}

std::string NoticeBlockName(const TMsgData& data) {
  const auto* block = std::get_if<std::vector<uint8_t>>(&data);
  if (!block || block->empty()) return {};
  const size_t n = std::min<size_t>((*block)[0], block->size() - 1);
  return std::string(block->begin() + 1, block->begin() + 1 + n);
}

bool BusPublished() { return g_hub_published.load(std::memory_order_acquire); }

std::shared_ptr<TMsgMonitorInterface> GetMonitorInterface() {
  TReadLock lock(g_publication_mutex);
  return g_hub;
}

bool PostMonitorMessage(std::string_view category, std::string_view text, uint8_t level, TMsgData data,
                        int32_t value) {
  if (BusFull() && !BusWaitsExempt()) {
    // A full bus holds a poster up for a moment (flow control, bus.h) —
    // never the main loop: synchronised subscribers drain through it.
    TMainLoop* loop = MainLoop();
    if (!loop || !loop->IsLoopThread()) WaitForBusRoom(kBusPostWaitMs);
  }
  TReadLock lock(g_publication_mutex);
  if (!g_hub) return false;
  TMonitorMessage record;
  record.category = CutCategory(category);
  record.text = text;
  record.level = level;
  record.value = value;
  record.data = std::move(data);
  return g_hub->Post(std::move(record));
}

std::shared_ptr<TMsgMonitorInterface> TMsgMonitorInterface::Create(TMainLoop* loop) {
  auto hub = std::make_shared<TMsgMonitorInterface>(TPasskey{}, loop);
  hub->RegisterCategory(kMonitorInterfaceCategory, kMonitorInterfaceKind);
  hub->Start();
  hub->WaitStarted();
  if (loop) {
    std::weak_ptr<TObjectManager> objects = hub->objects_;
    hub->purge_timer_ = loop->AddTimer(TObjectManager::kPurgeIntervalMs, [objects] {
      if (auto m = objects.lock()) m->Purge();
    });
  }
  TWriteLock lock(g_publication_mutex);
  if (g_hub) {
    lock.unlock();
    hub->Stop();
    throw EBusError("bus hub already exists");
  }
  g_hub = hub;
  g_hub_published.store(true, std::memory_order_release);
  return hub;
}

TMsgMonitorInterface::TMsgMonitorInterface(TPasskey, TMainLoop* loop)
    : loop_(loop), objects_(std::make_shared<TObjectManager>()), generation_(++g_category_generation) {}

TMsgMonitorInterface::~TMsgMonitorInterface() { Stop(); }

void TMsgMonitorInterface::Stop() {
  std::call_once(stop_once_, [this] {
    {
      TWriteLock lock(g_publication_mutex);
      if (g_hub.get() == this) {
        g_hub.reset();  // the caller holds another reference
        g_hub_published.store(false, std::memory_order_release);
      }
    }
    queue_.Quit();
    // Dispatch never waits for a subscriber, so the queue drains quickly;
    // only a flood is cut short.
    if (!WaitFinished(5000)) queue_.Abort();
    TerminateAndJoin();
    if (loop_ && purge_timer_) loop_->RemoveTimer(purge_timer_);
    for (const auto& name : Categories()) {
      if (!SameText(name, kMonitorInterfaceCategory)) {
        while (IsRegistered(name)) UnregisterCategory(name);
      }
    }
    while (IsRegistered(kMonitorInterfaceCategory)) UnregisterCategory(kMonitorInterfaceCategory);
    objects_->Clear();
  });
}

const TMsgMonitorInterface::TCategory* TMsgMonitorInterface::FindCategory(std::string_view name) const {
  // A poster posts the same few names over and over: each thread remembers
  // its last answers for as long as the table is unchanged (its generation
  // is unique across all hubs, so an answer never outlives its table).
  struct TAnswer {
    uint64_t generation = 0;
    std::string name;
    const TCategory* category = nullptr;
  };
  thread_local std::array<TAnswer, 4> answers;
  thread_local size_t next = 0;
  for (const TAnswer& a : answers)
    if (a.generation == generation_ && a.name == name) return a.category;
  auto it = index_.find(name);
  TAnswer& a = answers[next++ % answers.size()];
  a.generation = generation_;
  a.name.assign(name);
  a.category = it == index_.end() ? nullptr : it->second;
  return a.category;
}

bool TMsgMonitorInterface::Post(TMonitorMessage&& record) {
  bool registered = false;
  {
    TReadLock lock(categories_mutex_);
    if (const TCategory* c = FindCategory(record.category)) {
      registered = true;
      record.kind = c->kind;
    }
  }
  if (!registered) {
    record.kind = kDataNone;
    record.data = {};  // the record carries no data for an unknown category
  }
  record.load = TLoadTicket(RecordFootprint(record.category, record.text, DataFootprint(record.data)));
  bool wake = true;
  if (t_batch_depth > 0) {
    wake = ++t_batch_unwoken >= kWakeEvery;
    if (wake) t_batch_unwoken = 0;
  }
  queue_.Push(std::move(record), wake);
  return registered;
}

void TMsgMonitorInterface::Execute() {
  NameThisThread("bus hub");
  ExemptThisThreadFromBusWaits();  // dispatching is what makes room
  SetStarted(true);
  std::vector<TMonitorMessage> batch;
  while (queue_.Take(batch)) {
    int unwoken = 0;
    for (TMonitorMessage& record : batch) {
      if (queue_.Aborted()) break;
      try {
        Dispatch(record, false);
      } catch (...) {
        // A record that cannot be dispatched (out of memory) is lost; the
        // hub goes on with the next.
      }
      // Each record's data goes as soon as it is dispatched: an object
      // nobody wants is freed then, not after the rest of the batch.
      record.data = {};
      record.load = {};
      // Subscribers are woken once for a row of records, not per record.
      if (++unwoken == kWakeEvery) {
        WakeMonitors();
        unwoken = 0;
      }
    }
    batch.clear();
    WakeMonitors();
  }
  SetStarted(false);
}

void TMsgMonitorInterface::WakeMonitors() {
  TLockGuard monitors(monitors_mutex_);
  for (TMonitor* m : monitors_) m->WakeQueue();
}

namespace {

struct TRecipient {
  TMonitor* monitor;
  const std::string* spelled;  // its own spelling of the category; null: as posted
};

// The recipient list of a dispatch, kept for the next one on the same
// thread; a nested dispatch (a notice) takes a fresh one.
class TRecipients {
 public:
  TRecipients() { list_.swap(Spare()); }
  ~TRecipients() {
    list_.clear();
    list_.swap(Spare());
  }
  std::vector<TRecipient>& operator*() { return list_; }

 private:
  static std::vector<TRecipient>& Spare() {
    thread_local std::vector<TRecipient> spare;
    return spare;
  }
  std::vector<TRecipient> list_;
};

}  // namespace

void TMsgMonitorInterface::Dispatch(TMonitorMessage& record, bool wake) {
  TReadLock categories(categories_mutex_);
  const TCategory* category = FindCategory(record.category);
  if (!category) {
    categories.unlock();
    if (!SameText(record.category, kMonitorInterfaceCategory)) {
      TMonitorMessage notice;
      notice.category = kMonitorInterfaceCategory;
      notice.text = "Meldung (\"" + record.text + "\") wird nicht verschickt. Category \"" + record.category +
                    "\" nicht registriert.";
      notice.level = mlError;
      Dispatch(notice);
    }
    return;  // the record's data goes with it
  }
  const int32_t kind = category->kind;
  TRecipients list;
  std::vector<TRecipient>& recipients = *list;
  TLockGuard monitors(monitors_mutex_);
  for (TMonitor* m : monitors_) {
    const std::string* spelled = nullptr;
    if (m->Accepts(record.category, record.level, record.value, spelled)) recipients.push_back({m, spelled});
  }
  if (recipients.empty()) return;

  // A posted record knows its footprint already; a notice is counted here.
  const int64_t record_bytes =
      record.load.Bytes() > 0 ? record.load.Bytes()
                              : RecordFootprint(record.category, record.text, DataFootprint(record.data));
  // All recipients of an object are counted before the first can release it.
  // An object with one recipient has nobody to take turns with: it travels
  // in the record itself.
  auto* object = kind == kDataObject ? std::get_if<std::shared_ptr<TBusObject>>(&record.data) : nullptr;
  uint64_t handle = 0;
  if (object && *object && recipients.size() > 1) {
    handle = objects_->RegisterObject(*object, static_cast<int>(recipients.size()));
  } else {
    object = nullptr;
  }
  for (size_t i = 0; i < recipients.size(); ++i) {
    // The last recipient may have what the record holds; the others copies.
    const bool last = i + 1 == recipients.size();
    TMonitorMessage out;
    if (recipients[i].spelled) {
      out.category = *recipients[i].spelled;
    } else {
      out.category = last ? std::move(record.category) : record.category;
    }
    out.text = last ? std::move(record.text) : record.text;
    out.value = record.value;
    out.level = record.level;
    out.kind = kind;
    out.load = TLoadTicket(record_bytes);
    if (object) {
      out.object = TObjectClaim(objects_, handle);
    } else if (last) {
      out.data = std::move(record.data);
    } else {
      out.data = record.data;  // a block is copied; a pointer is shared as posted
    }
    // A subscriber that is quitting refuses; its claim is given back.
    recipients[i].monitor->Enqueue(std::move(out), wake);
  }
}

void TMsgMonitorInterface::Notice(const std::string& text, std::string_view name) {
  TMonitorMessage notice;
  notice.category = kMonitorInterfaceCategory;
  notice.text = text;
  notice.level = mlChange;
  notice.data = MakeNoticeBlock(name);
  Dispatch(notice);
}

void TMsgMonitorInterface::RegisterCategory(std::string_view name, int32_t kind) {
  const std::string cut = CutCategory(name);
  bool added = false;
  {
    TWriteLock lock(categories_mutex_);
    auto it = categories_.find(cut);
    if (it == categories_.end()) {
      it = categories_.emplace(cut, TCategory{cut, kind, 0}).first;
      index_.emplace(std::string_view(it->first), &it->second);
      generation_ = ++g_category_generation;
      added = true;
    } else {
      ++it->second.extra_providers;
    }
  }
  // Notices are dispatched after the category lock is released: dispatch
  // takes it again.
  Notice((added ? "New Category:[" : "Added Category Provider:[") + cut + "]", cut);
}

void TMsgMonitorInterface::UnregisterCategory(std::string_view name) {
  const std::string cut = CutCategory(name);
  std::string text;
  {
    TWriteLock lock(categories_mutex_);
    auto it = categories_.find(cut);
    if (it == categories_.end()) return;
    if (it->second.extra_providers > 0) {
      --it->second.extra_providers;
      text = "Lost Category Provider: [" + cut + "]";
    } else {
      index_.erase(std::string_view(it->first));
      categories_.erase(it);
      generation_ = ++g_category_generation;
      text = "Deleted Category: [" + cut + "]";
    }
  }
  Notice(text, cut);
}

bool TMsgMonitorInterface::IsRegistered(std::string_view name, int32_t* kind) const {
  TReadLock lock(categories_mutex_);
  const TCategory* c = FindCategory(name.substr(0, kMaxCategoryLength));
  if (!c) return false;
  if (kind) *kind = c->kind;
  return true;
}

std::vector<std::string> TMsgMonitorInterface::Categories() const {
  TReadLock lock(categories_mutex_);
  std::vector<std::string> names;
  for (const auto& [name, c] : categories_) names.push_back(c.name);
  return names;
}

void TMsgMonitorInterface::AddMonitor(TMonitor* monitor) {
  {
    TReadLock categories(categories_mutex_);
    TLockGuard monitors(monitors_mutex_);
    if (std::find(monitors_.begin(), monitors_.end(), monitor) != monitors_.end()) return;
    monitors_.push_back(monitor);
    if (monitor->AllCategories()) {
      for (const auto& [name, c] : categories_) monitor->AddCategory(c.name);
    }
  }
  monitor->Joined(weak_from_this());
  Notice("New Monitor:" + MonitorId(monitor), "");
}

void TMsgMonitorInterface::RemoveMonitor(TMonitor* monitor) {
  {
    TLockGuard monitors(monitors_mutex_);
    auto it = std::find(monitors_.begin(), monitors_.end(), monitor);
    if (it == monitors_.end()) return;
    monitors_.erase(it);
  }
  monitor->Left();
  Notice("Lost Monitor:" + MonitorId(monitor), "");
}

size_t TMsgMonitorInterface::MonitorCount() const {
  TLockGuard monitors(monitors_mutex_);
  return monitors_.size();
}

}  // namespace kv
