// Feeds arbitrary bytes to the ChatTrigger.dat reader. Whatever it reads
// (also before a damage) must write and read back to the same bytes; the
// trigger list must load the same bytes, and run every loaded trigger
// against a chat line and decode its reaction, ending in lines or a clean
// error; the reader must never allocate more than the input holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "automation/chat_text.h"
#include "automation/chat_trigger_file.h"
#include "automation/chat_triggers.h"
#include "core/stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::TMemoryStream in(std::vector<uint8_t>(data, data + size));
  std::vector<kv::TVarList> triggers;
  try {
    kv::ReadChatTriggerFile(in, triggers);
  } catch (const kv::EStreamError&) {
  }
  kv::TMemoryStream out;
  kv::WriteChatTriggerFile(out, triggers);
  out.Seek(0);
  std::vector<kv::TVarList> again;
  kv::ReadChatTriggerFile(out, again);
  kv::TMemoryStream out2;
  kv::WriteChatTriggerFile(out2, again);
  if (again.size() != triggers.size() || out.Bytes() != out2.Bytes()) std::abort();

  kv::TChatTriggerList list;
  kv::TMemoryStream raw(std::vector<uint8_t>(data, data + size));
  try {
    list.Load(raw);
  } catch (const kv::EStreamError&) {
  }
  if (list.Count() != triggers.size()) std::abort();
  const std::string chat(reinterpret_cast<const char*>(data), size < 64 ? size : 64);
  for (const auto& fired : list.Fire(chat, 46000.0)) {
    try {
      (void)kv::SplitReactionLines(kv::DecodeReactionEscapes(fired.reaction));
    } catch (const kv::EEscapeError&) {
    }
  }
  return 0;
}
