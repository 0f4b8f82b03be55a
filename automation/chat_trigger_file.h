// ChatTrigger.dat, the file that keeps the chat triggers: a signed 32-bit
// little-endian count, then per trigger a 32-bit byte length and that many
// bytes holding the trigger's variable list (Trigger, Reaction, timeout,
// LastExec). The lists are kept whole, so a file is written back byte for
// byte as it was read.
#pragma once

#include <string>
#include <vector>

#include "formats/varlist.h"

namespace kv {

class TStream;

inline constexpr const char* kChatTriggerLoadError = "Error loading Chat Trigger";

void WriteChatTriggerFile(TStream& out, const std::vector<TVarList>& triggers);
// Appends the triggers of the stream as they are read. An empty stream holds
// none. A cut count, a negative count or length, a length beyond the file's
// end or a variable list that cannot be read throws
// EStreamError(kChatTriggerLoadError + what was wrong); the triggers read
// before stay. Memory is bounded by the stream's size.
void ReadChatTriggerFile(TStream& in, std::vector<TVarList>& triggers);

}  // namespace kv
