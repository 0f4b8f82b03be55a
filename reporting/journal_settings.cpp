// The journals' rows of the settings catalogue: the directory and the
// switches (the 33 switches follow the server state's order).
#include "reporting/journal_subsystem.h"

namespace kv {
namespace {

using T = TSettingType;

constexpr TSettingDef kJournalsRows[] = {
    {"Logbasedir", T::String, "", kStartup, THomeDefault::LogDir},
    {"LogChat", T::Bool, "0", kStartup},
    {"LogKicks", T::Bool, "0", kStartup},
    {"LogKills", T::Bool, "0", kStartup},
    {"LogGlobalMapChange", T::Bool, "0", kStartup},
    {"LogUserMapChange", T::Bool, "0", kStartup},
    {"LogNewBans", T::Bool, "0", kStartup},
    {"LogBanDeleted", T::Bool, "0", kStartup},
    {"LogBanMatch", T::Bool, "0", kStartup},
    {"LogGeneration", T::Bool, "0", kStartup},
    {"LogSSH", T::Bool, "0", kStartup},
    {"LogRcon", T::Bool, "0", kStartup},
    {"LogAllOtherEvents", T::Bool, "0", kStartup},
    {"LogServiceEvents", T::Bool, "0", kStartup},
    {"LogHandeled", T::Bool, "0", kStartup},
    {"LogUnhandeled", T::Bool, "0", kStartup},
    {"LogRemoteCommands", T::Bool, "0", kStartup},
    {"LogNewUser", T::Bool, "0", kStartup},
    {"LogUserBack", T::Bool, "0", kStartup},
    {"LogWenfOffline", T::Bool, "0", kStartup},
    {"LogNickChange", T::Bool, "0", kStartup},
    {"LogGlobalMessages", T::Bool, "0", kStartup},
    {"LogMessagesSendToServer", T::Bool, "0", kStartup},
    {"LogRemoteConnection", T::Bool, "0", kStartup},
    {"LogACCommand", T::Bool, "0", kStartup},
    {"LogACConnected", T::Bool, "0", kStartup},
    {"LogACDisconnected", T::Bool, "0", kStartup},
    {"LogACUserRconLog", T::Bool, "0", kStartup},
    {"LogACReport", T::Bool, "0", kStartup},
    {"LogACCheckACUser", T::Bool, "0", kStartup},
    {"LogACClientKick", T::Bool, "0", kStartup},
    {"LogAddTimeStamp", T::Bool, "0", kStartup},
    {"LogDelFilesOnRestart", T::Bool, "0", kStartup},
};

constexpr TSettingRows kJournalSubsystemTables[] = {
    {TSettingPlace::Journals, kJournalsRows},
};

}  // namespace

std::span<const TSettingRows> TJournalSubsystem::Rows() { return kJournalSubsystemTables; }

}  // namespace kv
