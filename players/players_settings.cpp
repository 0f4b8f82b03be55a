// The rows of the settings catalogue that the player parts own: the live
// tracker's identity rules and the history store's cache.
#include "players/history_subsystem.h"
#include "players/tracker.h"

namespace kv {
namespace {

using T = TSettingType;

// First in the player rules of the INI: their own place, so that they stay
// ahead of the rules' rows whatever registers first.
constexpr TSettingDef kPlayerIdentityRows[] = {
    {"OnlyOnePlayerPerIp", T::Bool, "1", kOnUse},
    {"ResetPing", T::Bool, "0", kOnUse},
    {"StatsonlyforthatNick", T::String, "", kStartup},
};

constexpr TSettingRows kTrackerTables[] = {
    {TSettingPlace::Identity, kPlayerIdentityRows},
};

constexpr TSettingDef kPlayerCacheRows[] = {
    {"UserCacheTimeOut", T::Int, "120", kOnUse},
};

constexpr TSettingRows kHistoryStoreTables[] = {
    {TSettingPlace::PlayerCache, kPlayerCacheRows},
};

}  // namespace

std::span<const TSettingRows> THistoryUserList::Rows() { return kTrackerTables; }
std::span<const TSettingRows> THistoryStoreSubsystem::Rows() { return kHistoryStoreTables; }

}  // namespace kv
