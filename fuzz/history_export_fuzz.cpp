// Feeds arbitrary bytes to the reader of the history export stream: it
// either hands over exactly the announced number of records or throws one
// of its two errors.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "players/history_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::TMemoryStream in(std::vector<uint8_t>(data, data + size));
  int32_t seen = 0;
  try {
    const int32_t count = kv::ReadExportStream(in, [&](std::unique_ptr<kv::THistoryUserEntry> h) {
      if (!h || h->player.client_number != kv::kNoPlayer) std::abort();
      ++seen;
    });
    if (count != seen) std::abort();
  } catch (const kv::EHistoryRecordError& e) {
    if (std::strcmp(e.what(), kv::kErrLoadingHistory) != 0 &&
        std::strcmp(e.what(), kv::kErrLoadingHistoryData) != 0)
      std::abort();
  }
  return 0;
}
