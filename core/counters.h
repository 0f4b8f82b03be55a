// Live-object counters: process-wide numbers of constructed and not yet
// destroyed objects of the counted kinds, shown on the diagnostics page.
#pragma once

#include <atomic>
#include <cstdint>

namespace kv {

enum class TCounter : int {
  Events,
  HistoryEntrys,
  UserLists,
  LogEntrys,
  VarListCount,
  KickThreads,
  RequestThreads,
  ConsoleMessageThreads,
  UdpConnections,
  CustomSockets,
  AccessListEntry,
  ServerPackets,
  ServerListEntry,
  Count_
};

inline constexpr int kCounterCount = static_cast<int>(TCounter::Count_);

// The label the diagnostics page shows before each number ("Events: ").
const char* CounterLabel(TCounter c);
int64_t CounterValue(TCounter c);
void CounterAdd(TCounter c, int64_t delta);

// Counts one object for its lifetime; embed as a member.
template <TCounter C>
class TLiveCount {
 public:
  TLiveCount() { CounterAdd(C, 1); }
  TLiveCount(const TLiveCount&) { CounterAdd(C, 1); }
  TLiveCount& operator=(const TLiveCount&) { return *this; }
  ~TLiveCount() { CounterAdd(C, -1); }
};

}  // namespace kv
