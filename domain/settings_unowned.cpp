// The rows of the INI file whose owners are not built yet: the player
// rules of team changes and the weapon watch's switch, the operator
// console views and the update service.
// When an owner is built, it takes its rows from here into a table of its
// own at the same place.
#include "domain/settings.h"

namespace kv {
namespace {

using T = TSettingType;

// Team changes: between the team-kill rows and the rest of the kill rules.
constexpr TSettingDef kTeamChangeRows[] = {
    {"TKAutoTeamKickMsg", T::String, "%playernick% do nit user AUTOTEAM on this Server", kStartup},
    {"TKAutoTeamKickDelay", T::Int, "3", kStartup},
    {"TKTeamChangeFloodMsg", T::String,
     "%playernick% do not change teams that fast !!!! This is not welcome on this Server", kStartup},
    {"TKTeamChangeFloodTimeDelay", T::Int, "3", kStartup},
    {"TKTeamChangeFloodTimeOut", T::Int, "30", kStartup},
};

// The weapon watch's switch: right after the ping and skin checks, ahead of
// the weapon classes' expressions.
constexpr TSettingDef kWeaponWatchRows[] = {
    {"EnableWeaponDetect", T::Bool, "1", kStartup},
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

constexpr TSettingRows kNotYetOwned[] = {
    {TSettingPlace::TeamChanges, kTeamChangeRows},
    {TSettingPlace::WeaponClasses, kWeaponWatchRows},
    {TSettingPlace::Windows, kWindowsRows},
    {TSettingPlace::Update, kUpdateRows},
};

}  // namespace

std::span<const TSettingRows> NotYetOwnedSettingRows() { return kNotYetOwned; }

}  // namespace kv
