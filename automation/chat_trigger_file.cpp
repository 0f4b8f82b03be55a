#include "automation/chat_trigger_file.h"

#include "core/stream.h"

namespace kv {

void WriteChatTriggerFile(TStream& out, const std::vector<TVarList>& triggers) {
  out.WriteInt32(static_cast<int32_t>(triggers.size()));
  for (const TVarList& t : triggers) WriteVarListRecord(out, t);
}

void ReadChatTriggerFile(TStream& in, std::vector<TVarList>& triggers) {
  if (in.AtEnd()) return;  // a fresh home: no triggers
  const auto fail = [&](const std::string& what) {
    throw EStreamError(std::string(kChatTriggerLoadError) + " - " + what + " (after " +
                       std::to_string(triggers.size()) + " triggers)");
  };
  if (in.Remaining() < 4) fail("the count is cut short");
  const int32_t count = in.ReadInt32();
  if (count < 0) fail("a negative count");
  for (int32_t i = 0; i < count; ++i) {
    // A count larger than the file holds ends here, before anything is
    // allocated for it; a record's length is checked against what remains.
    if (in.AtEnd())
      fail("the file ends before trigger " + std::to_string(i + 1) + " of " + std::to_string(count));
    TVarList t;
    try {
      ReadVarListRecord(in, t, kChatTriggerLoadError);
    } catch (const std::exception& e) {
      fail("trigger " + std::to_string(i + 1) + " is cut short or damaged: " + e.what());
    }
    triggers.push_back(std::move(t));
  }
}

}  // namespace kv
