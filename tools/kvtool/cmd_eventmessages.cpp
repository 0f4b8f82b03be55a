// kvtool eventmessages dump|build: EventMessages.dat to JSON and back, byte
// for byte, so the operator can read, mend and write the definitions.
#include "automation/event_message_file.h"
#include "tools/kvtool/datafile_command.h"

namespace kv::tool {

int CmdEventMessages(const TArgs& args, TToolIO io) {
  static const TDataFileFormat<TMohaaMessage> kFormat{
      "eventmessages",        "EventMessages.dat",     "messages",          "message",
      &ReadEventMessagesFile, &WriteEventMessagesFile, &EventMessageToJson, &EventMessageFromJson};
  return RunDataFileCommand(kFormat, args, io);
}

}  // namespace kv::tool
