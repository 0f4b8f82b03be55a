// What the player checks offer the operator: SkinList.dat and the "skins"
// command.
#include <nlohmann/json.hpp>

#include "core/bus.h"
#include "core/cp1252.h"
#include "rules/checks.h"

namespace kv {

namespace {

std::string Listed(const std::vector<std::string>& skins) {
  if (skins.empty()) return "  (none)\n";
  std::string out;
  for (const auto& s : skins) out += "  " + s + "\n";
  return out;
}

nlohmann::json Utf8List(const std::vector<std::string>& skins) {
  nlohmann::json out = nlohmann::json::array();
  for (const auto& s : skins) out.push_back(Cp1252ToUtf8(s));
  return out;
}

}  // namespace

void TPlayerChecks::RegisterDataFiles(TDataFileRegistry& registry) {
  TDataFileHandler handler;
  handler.load = [this](TStream& in) {
    std::vector<std::string> skins;
    // What was read before damage stays: the error is reported, the list
    // still holds every good name up to it.
    try {
      ReadSkinListFile(in, skins);
    } catch (...) {
      skins_.ReplaceConfigured(skins);
      throw;
    }
    skins_.ReplaceConfigured(skins);
  };
  handler.save = [this](TStream& out) { WriteSkinListFile(out, skins_.Configured()); };
  registry.Register(TDataFileId::SkinList, std::move(handler));
}

void TPlayerChecks::RegisterCommands(TCommandTable& commands) {
  commands.Add({.name = "skins",
                .args = "[add SKIN]",
                .usage = "skins | skins add SKIN",
                .help = "list the configured and the seen skins, or add one to the configured list",
                .thread = TCommandThread::Caller,
                .right = "setup",
                .handler = [this](const TCommandContext&, const std::string& args) {
                  TCommandResult r;
                  if (args.rfind("add ", 0) == 0 || args == "add") {
                    const std::string skin = TrimSkin(args.substr(3));
                    if (!IsValidSkinName(skin)) throw ECommandUsage();
                    const bool added = skins_.AddConfigured(skin);
                    r.data = {{"skin", Cp1252ToUtf8(skin)}, {"added", added}};
                    r.text = added ? "added " + skin + "\n" : skin + " is in the list already\n";
                    return r;
                  }
                  if (!args.empty()) throw ECommandUsage();
                  const auto configured = skins_.Configured();
                  const auto seen = skins_.Seen();
                  const auto s = settings_.Get();
                  const char* meaning = s->skin_only_detect ? "allowed" : "banned";
                  r.data = {{"configured", Utf8List(configured)},
                            {"seen", Utf8List(seen)},
                            {"configured_means", meaning},
                            {"scan_on", s->skin_detect}};
                  r.text = "configured skins (" + std::string(meaning) + "), " +
                           std::to_string(configured.size()) + ":\n" + Listed(configured) +
                           "seen since start-up, " + std::to_string(seen.size()) + ":\n" + Listed(seen);
                  return r;
                }});
}

}  // namespace kv
