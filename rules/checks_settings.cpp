// The rows of the settings catalogue that the player checks own: the ping
// and skin checks and what bad words cost. (The team-change keys stand among
// the team-kill rows and are read from there.)
#include "rules/checks.h"

namespace kv {
namespace {

using T = TSettingType;

constexpr TSettingDef kPingAndSkinRows[] = {
    {"PingCheckEnabled", T::Bool, "1", kStartup},
    {"PingMessure", T::Int, "10", kStartup},
    {"PingTime", T::Int, "3000", kStartup},
    {"PingTimeMin", T::Int, "-1", kStartup},
    {"PingMessage", T::String,
     "%playernick% gets kicked because a high ping for a long time (Ping: %playerping%)", kStartup},
    {"PingMessageMin", T::String,
     "%playernick% gets kicked because a to low ping for a long time (Ping: %playerping%)", kStartup},
    {"PingIgnore", T::String, "127\\.0\\.0\\.1|192\\.168\\.|10\\.", kStartup},
    {"PingIgnoreNick", T::String, "", kStartup},
    {"EnableSkinDetect", T::Bool, "1", kStartup},
    {"SkinOnlyDetect", T::Bool, "0", kStartup},
    {"ScanSkinsallXSeconds", T::Int, "120", kStartup},
    {"SkinKickMsg", T::String, "%playernick% get kicked because of a banned Skin - %skin% - %side%",
     kStartup},
    {"SkinKickDelay", T::Int, "120", kStartup},
};

constexpr TSettingDef kBadWordRows[] = {
    {"BadWordKickCount", T::Int, "3", kOnUse},
    {"BadWordBanCount", T::Int, "2", kOnUse},
    {"BadWordBanTime", T::Int, "-1", kOnUse},
    {"BadWordWarning", T::String, "%playernick% dont use bad Words or get kicked", kOnUse},
    {"BadWordKick", T::String, "%playernick% get kicked because of bad Words", kOnUse},
    {"BadWordBan", T::String, "%playernick% is banned because bad Words", kOnUse},
};

constexpr TSettingRows kChecksTables[] = {
    {TSettingPlace::PingAndSkins, kPingAndSkinRows},
    {TSettingPlace::BadWordRules, kBadWordRows},
};

}  // namespace

std::span<const TSettingRows> TPlayerChecks::Rows() { return kChecksTables; }

}  // namespace kv
