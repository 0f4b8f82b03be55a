#include "core/counters.h"

namespace kv {
namespace {

std::atomic<int64_t> g_counters[kCounterCount];

constexpr const char* kLabels[kCounterCount] = {
    "Events: ",         "HistoryEntrys: ", "UserLists: ",       "LogEntrys: ",
    "VarListCount: ",   "KickThreads: ",   "RequestThreads: ",  "ConsoleMessageThreads: ",
    "UdpConnections: ", "CustomSockets: ", "AccessListEntry: ", "ServerPackets: ",
    "ServerListEntry: "};

}  // namespace

const char* CounterLabel(TCounter c) { return kLabels[static_cast<int>(c)]; }
int64_t CounterValue(TCounter c) { return g_counters[static_cast<int>(c)].load(std::memory_order_relaxed); }
void CounterAdd(TCounter c, int64_t delta) {
  g_counters[static_cast<int>(c)].fetch_add(delta, std::memory_order_relaxed);
}

}  // namespace kv
