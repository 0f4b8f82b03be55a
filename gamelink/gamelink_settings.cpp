// The game link's rows of the settings catalogue: the game server and its
// rcon, the console flood filter, the player-list refresh.
#include "gamelink/gamelink_subsystems.h"

namespace kv {
namespace {

using T = TSettingType;

constexpr TSettingDef kGameServerRows[] = {
    {"RCONHost", T::Enc, "", kStartup},
    {"RCONPORT", T::String, "12203", kStartup},
    {"RCONPASSWORD", T::Enc, "", kStartup},
    {"QuakeRCON", T::Bool, "0", kOnUse},
    {"SpearheadServer", T::Bool, "0", kOnUse},
    {"WindowsVersion", T::Bool, "0", kStartup},
    {"UDPTimeOut", T::Int, "3", kOnUse},
    {"RconMaxRetry", T::Int, "20", kOnUse},
    {"RconFailSleep", T::Int, "200", kOnUse},
    // Rcon budget: a burst of requests, then so many a minute (0 = no limit)
    {"RconBurst", T::Int, "8", kOnUse},
    {"RconRatePerMinute", T::Int, "60", kOnUse},
    {"Servername", T::String, "Unknown Server", kOnUse},
    {"ConsoleCodePage", T::Int, "0", kOnUse},  // 437: log and status replies are converted
};

constexpr TSettingDef kConsoleFilterRows[] = {
    {"FilterMessagesSend", T::Bool, "1", kOnUse},
    {"FilterMessagesSendMaxCount", T::Int, "10", kOnUse},
    {"FilterMessagesSendMaxOccured", T::Int, "2", kOnUse},
};

constexpr TSettingRows kConsoleSubsystemTables[] = {
    {TSettingPlace::GameServer, kGameServerRows},
    {TSettingPlace::ConsoleFilter, kConsoleFilterRows},
};

constexpr TSettingDef kStatusPollRows[] = {
    {"UserRefrestTimer", T::Int, "3", kOnUse},
};

constexpr TSettingRows kStatusPollSubsystemTables[] = {
    {TSettingPlace::StatusPoll, kStatusPollRows},
};

}  // namespace

std::span<const TSettingRows> TConsoleSubsystem::Rows() { return kConsoleSubsystemTables; }
std::span<const TSettingRows> TStatusPollSubsystem::Rows() { return kStatusPollSubsystemTables; }

}  // namespace kv
