// The rows of the INI file whose owners are not built yet: the
// remote-administration servers, the player rules of team changes, ping and
// skins (the tracker reads PingMessure among them), messages and chat commands, statistics, the operator
// console views and the update service. When an owner is built, it takes its rows from here into a table of
// its own at the same place.
#include "domain/settings.h"

namespace kv {
namespace {

using T = TSettingType;

#define KV_SCORE_FORMULA                                                                                   \
  "IIF((%DATAMapsPlayed%>20);((((%DATAhaskilled% - %DATAwaskilled%) * (%DATAhaskilled%/%DATAwaskilled%))/" \
  "%DATAMapsPlayed%) * 10000);\"not enough maps played\")"

constexpr TSettingDef kRemoteAdminRows[] = {
    {"ServerPort", T::String, "23203", kStartup}, {"ServerDisabled", T::Bool, "0", kStartup},
    {"ServerCompression", T::Bool, "1", kOnUse},  {"ACServerPort", T::String, "24203", kStartup},
    {"ACServerDisabled", T::Bool, "0", kStartup},
};

constexpr TSettingDef kTeamChangeRows[] = {
    {"TKAutoTeamKickMsg", T::String, "%playernick% do nit user AUTOTEAM on this Server", kStartup},
    {"TKAutoTeamKickDelay", T::Int, "3", kStartup},
    {"TKTeamChangeFloodMsg", T::String,
     "%playernick% do not change teams that fast !!!! This is not welcome on this Server", kStartup},
    {"TKTeamChangeFloodTimeDelay", T::Int, "3", kStartup},
    {"TKTeamChangeFloodTimeOut", T::Int, "30", kStartup},
};

constexpr TSettingDef kPlayerCheckRows[] = {
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
    {"EnableWeaponDetect", T::Bool, "1", kStartup},
};

constexpr TSettingDef kMessagesRows[] = {
    {"StopEventMessage", T::Bool, "0", kOnUse},
    {"ChatCommandTimeout", T::Int, "5", kOnUse},
    {"ChatCommandEnableHelp", T::Bool, "1", kOnUse},
    {"ChatCommandEnableKick", T::Bool, "1", kOnUse},
    {"ChatCommandEnableConsoleCommand", T::Bool, "1", kOnUse},
    {"ChatCommandEnableConsoleChatCommand", T::Bool, "1", kOnUse},
    {"ChatCommandEnableSkills", T::Bool, "1", kOnUse},
    {"ChatCommandEnableNick", T::Bool, "1", kOnUse},
    {"ChatCommandEnableStats", T::Bool, "1", kOnUse},
    {"ChatCommandEnableIP", T::Bool, "1", kOnUse},
    {"UserStatsTimeOut", T::Int, "60", kOnUse},
    {"ChatCommandEnableStatshasKilled", T::Bool, "1", kOnUse},
    {"ChatCommandEnableStatsOther", T::Bool, "1", kOnUse},
    {"ChatCommandEnableStatsSpree", T::Bool, "1", kOnUse},
    {"ChatCommandEnableStatsSpecialLine", T::String, "", kOnUse},
    {"ChatCommandEnableACUser", T::Bool, "1", kOnUse},
    {"ChatCommandEnableACConnect", T::Bool, "1", kOnUse},
    {"ChatCommandEnableACKick", T::Bool, "1", kOnUse},
    {"BadWords", T::String, "", kOnUse},
    {"BadWordKickCount", T::Int, "3", kOnUse},
    {"BadWordBanCount", T::Int, "2", kOnUse},
    {"BadWordBanTime", T::Int, "-1", kOnUse},
    {"BadWordWarning", T::String, "%playernick% dont use bad Words or get kicked", kOnUse},
    {"BadWordKick", T::String, "%playernick% get kicked because of bad Words", kOnUse},
    {"BadWordBan", T::String, "%playernick% is banned because bad Words", kOnUse},
};

constexpr TSettingDef kStatisticsRows[] = {
    {"ScoreFormular", T::String, KV_SCORE_FORMULA, kStartup},
    {"ReportDir", T::String, "", kOnUse, THomeDefault::ReportDir},
    {"StatsReportInterval", T::Int, "0", kStartup},
};

constexpr TSettingDef kWindowsRows[] = {
    {"IconifyOnStartup", T::Bool, "0", kOnUse},    {"StartupWithOutLogo", T::Bool, "0", kOnUse},
    {"NoRefreshifhidden", T::Bool, "0", kStartup}, {"ChatMAXLINES", T::Int, "200", kOnUse},
    {"lastxlines", T::Int, "100", kStartup},       {"ShowDebug", T::Bool, "0", kOnUse},
    {"EVENTLISTMAXLINES", T::Int, "200", kOnUse},  {"RCONMAXLINES", T::Int, "200", kOnUse},
    {"SSHMAXLINES", T::Int, "200", kOnUse},        {"LogCategories", T::String, "", kOnUse},
    {"MarkEvent", T::String, "", kOnUse},          {"MarkPlayer1", T::String, "", kOnUse},
    {"MarkPlayer2", T::String, "", kOnUse},        {"MarkWeapon", T::String, "", kOnUse},
    {"MarkDiscription", T::String, "", kOnUse},    {"MarkTime", T::String, "", kOnUse},
    {"MarkColor", T::Int, "255", kOnUse},          {"SupressEvent", T::String, "", kOnUse},
    {"SupressPlayer1", T::String, "", kOnUse},     {"SupressPlayer2", T::String, "", kOnUse},
    {"SupressWeapon", T::String, "", kOnUse},      {"SupressDiscription", T::String, "", kOnUse},
    {"SupressTime", T::String, "", kOnUse},
};

constexpr TSettingDef kUpdateRows[] = {
    {"UpdateBaseUrl", T::String, "http://update.kelvandrome.invalid/Kelvandrome-Version.list", kOnUse},
    {"UpdateUser", T::String, "", kOnUse},
    {"UpdatePass", T::Enc, "", kOnUse},
    {"CheckUpdateOnStartup", T::Bool, "1", kOnUse},
    {"CheckUpdatePeriodic", T::Bool, "1", kOnUse},
    {"ProxyIp", T::String, "", kOnUse},
    {"ProxyPort", T::String, "", kOnUse},
    {"ProxyUser", T::String, "", kOnUse},
    {"ProxyPass", T::Enc, "", kOnUse},
};

#undef KV_SCORE_FORMULA

constexpr TSettingRows kNotYetOwned[] = {
    {TSettingPlace::RemoteAdmin, kRemoteAdminRows},
    {TSettingPlace::TeamChanges, kTeamChangeRows},
    {TSettingPlace::PlayerChecks, kPlayerCheckRows},
    {TSettingPlace::Messages, kMessagesRows},
    {TSettingPlace::Statistics, kStatisticsRows},
    {TSettingPlace::Windows, kWindowsRows},
    {TSettingPlace::Update, kUpdateRows},
};

}  // namespace

std::span<const TSettingRows> NotYetOwnedSettingRows() { return kNotYetOwned; }

}  // namespace kv
