// Byte counters of the remote-administration traffic, process-wide. The
// remote-administration server adds to them; the message templates read
// them without a lock (each value on its own is exact, the set need not be).
#pragma once

#include <atomic>
#include <cstdint>

namespace kv {

struct TRemoteTraffic {
  std::atomic<uint64_t> sent_raw{0};             // before compression
  std::atomic<uint64_t> sent_compressed{0};      // as put on the wire
  std::atomic<uint64_t> received_raw{0};         // after decompression
  std::atomic<uint64_t> received_compressed{0};  // as taken from the wire
};

// The one instance. Any thread.
TRemoteTraffic& RemoteTraffic();
// Back to zero (a test, or a fresh start of the server). Any thread.
void ResetRemoteTraffic();

// 100 - (part * 100 / whole) in whole-number arithmetic that cannot
// overflow; negative when compression made the data larger. whole > 0.
int64_t CompressionRatePercent(uint64_t part, uint64_t whole);

}  // namespace kv
