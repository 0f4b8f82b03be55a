// kvtool eventmessages dump|build: EventMessages.dat to JSON and back, byte
// for byte, so the operator can read, mend and write the definitions.
#include <nlohmann/json.hpp>

#include "automation/event_message_file.h"
#include "core/stream.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

using nlohmann::json;

constexpr const char* kUsage = "usage: kvtool eventmessages dump FILE | eventmessages build FILE.json";

int Dump(const TArgs& args, TToolIO io) {
  if (args.size() != 2) return Fail(io, kUsage);
  TMemoryStream in(LoadFileBytes(args[1]));
  std::vector<TMohaaMessage> messages;
  std::string damage;
  try {
    ReadEventMessagesFile(in, messages);
  } catch (const EStreamError& e) {
    damage = e.what();
  }
  json items = json::array();
  for (const auto& m : messages) items.push_back(EventMessageToJson(m));
  io.out << json{{"messages", items}}.dump(2) << "\n";
  // What could be read is shown; the damage makes the run fail.
  if (!damage.empty()) return Fail(io, args[1] + ": " + damage);
  return 0;
}

int Build(const TArgs& args, TToolIO io) {
  if (args.size() != 2) return Fail(io, kUsage);
  std::string text;
  if (!ReadFileOrStdin(args, 1, io, text)) return Fail(io, "cannot read " + args[1]);
  std::vector<TMohaaMessage> messages;
  try {
    const json doc = json::parse(text);
    size_t number = 0;
    for (const auto& item : doc.at("messages")) {
      ++number;
      try {
        messages.push_back(EventMessageFromJson(item));
      } catch (const std::invalid_argument& e) {
        return Fail(io, "message " + std::to_string(number) + ": " + e.what());
      }
    }
  } catch (const json::exception& e) {
    return Fail(io, std::string("bad event messages JSON: ") + e.what());
  }
  TMemoryStream out;
  WriteEventMessagesFile(out, messages);
  io.out.write(reinterpret_cast<const char*>(out.Bytes().data()), static_cast<std::streamsize>(out.Size()));
  return 0;
}

}  // namespace

int CmdEventMessages(const TArgs& args, TToolIO io) {
  if (!args.empty() && args[0] == "dump") return Dump(args, io);
  if (!args.empty() && args[0] == "build") return Build(args, io);
  return Fail(io, kUsage);
}

}  // namespace kv::tool
