// Feeds arbitrary bytes to the history-record reader, as a plain record and
// as a player file, and checks that a record that loads writes back to
// bytes that load to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "players/history_record.h"

namespace {

void CheckRoundTrip(const kv::THistoryUserEntry& h) {
  kv::TMemoryStream out;
  kv::WriteHistoryRecord(out, h);
  out.Seek(0);
  const auto again = kv::ReadHistoryRecord(out);
  if (again->player.name != h.player.name || again->player.address != h.player.address ||
      again->player.rate != h.player.rate || again->persistent.Count() != h.persistent.Count() ||
      !out.AtEnd())
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  try {
    kv::TMemoryStream in(bytes);
    CheckRoundTrip(*kv::ReadHistoryRecord(in));
  } catch (const std::exception&) {
  }
  try {
    CheckRoundTrip(*kv::DecodePlayerFile(bytes));
  } catch (const std::exception&) {
  }
  try {
    kv::DecodePlayerFileNick(bytes);
  } catch (const std::exception&) {
  }
  return 0;
}
