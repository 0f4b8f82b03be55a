// The rows of the settings catalogue that the kill rules own: team kills at
// the head of the player rules, then (after the team-change rows) the
// unknown-team warnings, spawn kills and sprees.
#include "rules/kills.h"

namespace kv {
namespace {

using T = TSettingType;

constexpr TSettingDef kTeamKillRows[] = {
    {"EnableTKDetect", T::Bool, "1", kStartup},
    {"UseTeamMessages", T::Bool, "0", kStartup},
    {"TKDetectMax", T::Int, "3", kStartup},
    {"TKDetectKickDelay", T::Int, "3", kStartup},
    {"TKDetectKickRep", T::Int, "1", kStartup},
    {"TKDetectBanAfterXKicks", T::Int, "2", kStartup},
    {"TKDetectSendWarnings", T::Bool, "1", kStartup},
    {"TKDetectBanTime", T::Int, "30", kStartup},
    {"TKDetectBanIp", T::Bool, "0", kStartup},
    {"TKDetectWarningMessage", T::String, "%playernick% you are TEAMKILLING STOP IT or get KICKED", kStartup},
    {"TKDetectKickMessage", T::String, "%playernick% gets kicked because of TeamKilling", kStartup},
    {"TKDetectBanMessage", T::String, "%playernick% is banned because of TeamKilling", kStartup},
    {"ForgiveTKAfter", T::Int, "10", kStartup},
};

constexpr TSettingDef kKillRuleRows[] = {
    {"TKUnkownMessage", T::String, "%playernick% you not in a known Team please rejoin youre Team", kStartup},
    {"TKUnkownMessageRep", T::Int, "1", kStartup},
    {"TKUnkownMessageKick", T::String, "%playernick% get kicked because - player in unkown Team", kStartup},
    // Spawn kills
    {"EnableSpawnDetect", T::Bool, "1", kStartup},
    {"SpawnDetectTimeOut", T::Int, "10", kStartup},
    {"SpawnKillMinTime", T::Int, "500", kOnUse},
    {"SpawnDetectMax", T::Int, "3", kStartup},
    {"SpawnDetectKickDelay", T::Int, "3", kStartup},
    {"SpawnDetectKickRep", T::Int, "1", kStartup},
    {"SpawnDetectBanAfterXKicks", T::Int, "2", kStartup},
    {"SpawnDetectSendWarnings", T::Bool, "1", kStartup},
    {"SpawnDetectBanTime", T::Int, "30", kStartup},
    {"SpawnDetectBanIp", T::Bool, "0", kStartup},
    {"SpawnDetectWarningMessage", T::String, "%playernick% you are SPAWN KILLING STOP IT or get KICKED",
     kStartup},
    {"SpawnDetectKickMessage", T::String, "%playernick% gets kicked because of SpawnKilling", kStartup},
    {"SpawnDetectBanMessage", T::String, "%playernick% is banned because of SpawnKilling", kStartup},
    {"ForgiveSpawnAfter", T::Int, "10", kStartup},
    // Sprees
    {"KillingSpringDetect", T::Bool, "1", kStartup},
    {"KillingSpringResetonNewRound", T::Bool, "1", kStartup},
    {"LoosingSpringDetect", T::Bool, "1", kStartup},
    {"LoosingSpringResetonNewRound", T::Bool, "1", kStartup},
};

constexpr TSettingRows kKillRulesTables[] = {
    {TSettingPlace::PlayerRules, kTeamKillRows},
    {TSettingPlace::KillRules, kKillRuleRows},
};

}  // namespace

std::span<const TSettingRows> TKillRules::Rows() { return kKillRulesTables; }

}  // namespace kv
