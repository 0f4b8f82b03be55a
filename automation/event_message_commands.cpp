// The operator's "eventmessages" command: the definitions as they stand.
#include "automation/event_messages.h"
#include "core/commands.h"
#include "core/cp1252.h"
#include "domain/domain.h"

namespace kv {

void TEventMessageController::RegisterCommands(TCommandTable& commands) {
  commands.Add({.name = "eventmessages",
                .help = "list the event messages (kind, delay, filters, text) and how many wait",
                .thread = TCommandThread::Caller,
                .right = "server",
                .handler = [this](const TCommandContext&, const std::string&) {
                  TCommandResult r;
                  const auto definitions = Definitions();
                  nlohmann::json items = nlohmann::json::array();
                  size_t number = 0;
                  for (const auto& m : definitions) {
                    auto j = EventMessageToJson(m);
                    j["number"] = ++number;
                    std::string line = std::to_string(number) + ". [" + EventKindName(m.kind) + "] after " +
                                       std::to_string(m.delay) + " s";
                    if (m.expand_when_sent) line += ", expanded when sent";
                    if (m.only_if_online) line += ", only if still online";
                    for (const char* field :
                         {"player1_filter", "player2_filter", "time_filter", "description_filter",
                          "weapon_filter", "player1_exclusion", "player2_exclusion", "time_exclusion",
                          "description_exclusion", "weapon_exclusion"}) {
                      const std::string value = j[field].get<std::string>();
                      if (!value.empty()) line += ", " + std::string(field) + " " + value;
                    }
                    line += ": " + Cp1252ToUtf8(m.text) + "\n";
                    r.text += line;
                    items.push_back(std::move(j));
                  }
                  const size_t pending = Pending();
                  if (definitions.empty()) r.text = "no event messages\n";
                  r.text += std::to_string(pending) + " waiting to be said\n";
                  r.data = {{"messages", items}, {"pending", pending}};
                  return r;
                }});
}

}  // namespace kv
