// kvtool triggers dump|build: ChatTrigger.dat to JSON and back, byte for
// byte, so the operator can read, mend and write the chat triggers. Each
// trigger shows its expression and its variable list with the types the
// file holds, which is what makes the way back exact.
#include "automation/chat_trigger_file.h"
#include "automation/chat_triggers.h"
#include "core/cp1252.h"
#include "tools/kvtool/datafile_command.h"
#include "tools/kvtool/varlist_json.h"

namespace kv::tool {
namespace {

nlohmann::json TriggerToJson(const TVarList& trigger) {
  return {{"trigger", Cp1252ToUtf8(ChatTriggerText(trigger))}, {"variables", VarListJson(trigger)}};
}

// "trigger" is shown for the reader; the variables count.
TVarList TriggerFromJson(const nlohmann::json& json) {
  try {
    return VarListFromJson(json.at("variables"));
  } catch (const nlohmann::json::exception&) {
    throw;
  } catch (const std::exception& e) {
    throw std::invalid_argument(e.what());
  }
}

}  // namespace

int CmdTriggers(const TArgs& args, TToolIO io) {
  static const TDataFileFormat<TVarList> kFormat{"triggers",     "ChatTrigger.dat",    "triggers",
                                                 "trigger",      &ReadChatTriggerFile, &WriteChatTriggerFile,
                                                 &TriggerToJson, &TriggerFromJson};
  return RunDataFileCommand(kFormat, args, io);
}

}  // namespace kv::tool
