// Feeds arbitrary bytes as a "Status" reply: parsing must never fail, and
// every accepted row must keep the invariants the rest of the system relies
// on (no invalid number column, an address without a port), whatever column
// layout the reply's own dashed line or header claims.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "gamelink/userinfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string reply(reinterpret_cast<const char*>(data), size);
  auto list = kv::ParseStatusReply(reply);
  if (!list) return 0;
  kv::ComputePingStatistics(*list);
  kv::SortLongestNameFirst(*list);
  size_t previous = SIZE_MAX;
  for (const auto& row : list->Rows()) {
    if (row.client_number == -1 || row.ping == -1 || row.rate == -1 || row.qport == -1 ||
        row.last_message == -1)
      std::abort();
    // "host:port" never survives; an IPv6 address keeps its own colons.
    if (std::count(row.address.begin(), row.address.end(), ':') == 1 || row.name.size() > previous)
      std::abort();
    previous = row.name.size();
  }
  if (list->connecting > list->Count()) std::abort();
  return 0;
}
