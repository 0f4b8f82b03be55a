// Feeds arbitrary bytes to the event-message file reader. Whatever it reads
// (also before a damage) must write and read back to the same definitions,
// and pass through its JSON form (kvtool's) unchanged; the reader must never
// allocate more than the input holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "automation/event_message_file.h"
#include "core/stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::TMemoryStream in(std::vector<uint8_t>(data, data + size));
  std::vector<kv::TMohaaMessage> messages;
  try {
    kv::ReadEventMessagesFile(in, messages);
  } catch (const kv::EStreamError&) {
  }
  kv::TMemoryStream out;
  kv::WriteEventMessagesFile(out, messages);
  out.Seek(0);
  std::vector<kv::TMohaaMessage> again;
  kv::ReadEventMessagesFile(out, again);
  if (again != messages) std::abort();
  for (const auto& m : messages)
    if (kv::EventMessageFromJson(kv::EventMessageToJson(m)) != m) std::abort();
  return 0;
}
