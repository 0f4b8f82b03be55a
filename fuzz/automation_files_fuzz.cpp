// Feeds arbitrary bytes to the readers of EventMessages.dat (first byte
// even) and WeaponsBan.dat (odd); the rest is the file. Whatever a reader
// reads (also before a damage) must write and read back to the same
// records, and pass through its JSON form (kvtool's) unchanged; a reader
// must never allocate more than the input holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "automation/event_message_file.h"
#include "automation/weapon_watch_file.h"
#include "core/stream.h"

namespace {

template <class T, class Read, class Write, class ToJson, class FromJson>
void RoundTrip(const uint8_t* data, size_t size, Read read, Write write, ToJson to_json, FromJson from_json) {
  kv::TMemoryStream in(std::vector<uint8_t>(data, data + size));
  std::vector<T> records;
  try {
    read(in, records);
  } catch (const kv::EStreamError&) {
  }
  kv::TMemoryStream out;
  write(out, records);
  out.Seek(0);
  std::vector<T> again;
  read(out, again);
  if (again != records) std::abort();
  for (const auto& r : records)
    if (from_json(to_json(r)) != r) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] % 2 == 0)
    RoundTrip<kv::TMohaaMessage>(data + 1, size - 1, kv::ReadEventMessagesFile, kv::WriteEventMessagesFile,
                                 kv::EventMessageToJson, kv::EventMessageFromJson);
  else
    RoundTrip<kv::TWeaponWatchDef>(data + 1, size - 1, kv::ReadWeaponWatchFile, kv::WriteWeaponWatchFile,
                                   kv::WeaponWatchToJson, kv::WeaponWatchFromJson);
  return 0;
}
