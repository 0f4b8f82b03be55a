#include "domain/traffic.h"

namespace kv {

TRemoteTraffic& RemoteTraffic() {
  static TRemoteTraffic traffic;
  return traffic;
}

void ResetRemoteTraffic() {
  auto& t = RemoteTraffic();
  t.sent_raw = 0;
  t.sent_compressed = 0;
  t.received_raw = 0;
  t.received_compressed = 0;
}

int64_t CompressionRatePercent(uint64_t part, uint64_t whole) {
  if (whole == 0) return 0;
  // part * 100 needs up to 71 bits; 128-bit arithmetic keeps it exact.
  const unsigned __int128 ratio = static_cast<unsigned __int128>(part) * 100u / whole;
  // A counter pair far apart (part >> whole) would give a huge ratio; cap it
  // so the result stays a sensible negative number.
  const unsigned __int128 cap = static_cast<unsigned __int128>(INT64_MAX) / 2;
  const int64_t r = static_cast<int64_t>(ratio > cap ? cap : ratio);
  return 100 - r;
}

}  // namespace kv
