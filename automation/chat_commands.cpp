// The operator's "triggers" command: the chat triggers as they stand.
#include "automation/chat_watch.h"
#include "core/commands.h"
#include "core/cp1252.h"
#include "core/regional.h"

namespace kv {

void TChatWatch::RegisterCommands(TCommandTable& commands) {
  commands.Add({.name = "triggers",
                .help = "list the chat triggers (expression, timeout, last firing, reaction)",
                .thread = TCommandThread::Caller,
                .right = "server",
                .handler = [this](const TCommandContext&, const std::string&) {
                  TCommandResult r;
                  nlohmann::json items = nlohmann::json::array();
                  size_t number = 0;
                  for (const auto& t : triggers_.Triggers()) {
                    const std::string last =
                        t.last_exec == 0 ? std::string("never") : regional::DateTimeToStr(t.last_exec);
                    nlohmann::json j = {{"number", ++number},
                                        {"trigger", Cp1252ToUtf8(t.trigger)},
                                        {"timeout", t.timeout},
                                        {"last_exec", t.last_exec == 0 ? std::string() : last},
                                        {"reaction", Cp1252ToUtf8(t.reaction)}};
                    std::string line = std::to_string(number) + ". [" + Cp1252ToUtf8(t.trigger) + "] every " +
                                       std::to_string(t.timeout) + " s, last fired " + last + ": " +
                                       Cp1252ToUtf8(t.reaction);
                    if (!t.error.empty()) {
                      j["error"] = Cp1252ToUtf8(t.error);
                      line += " (never fires: " + Cp1252ToUtf8(t.error) + ")";
                    }
                    r.text += line + "\n";
                    items.push_back(std::move(j));
                  }
                  if (items.empty()) r.text = "no chat triggers\n";
                  r.data = {{"triggers", items}};
                  return r;
                }});
}

}  // namespace kv
