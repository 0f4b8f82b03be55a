// The service's own rows of the settings catalogue (the log source, the
// followers' watch, the start on start-up, AutoSave; the lifecycle also
// registers the rows of the SSH and FTP followers it runs), and the
// registration of every table this build knows.
#include "app/service_settings.h"

#include <iterator>
#include <vector>

#include "app/service_subsystems.h"
#include "automation/chat_watch.h"
#include "automation/event_messages.h"
#include "enforcement/banwatch.h"
#include "enforcement/kicks.h"
#include "enforcement/weapon_class_subsystem.h"
#include "gamelink/ftp_session.h"
#include "gamelink/gamelink_subsystems.h"
#include "gamelink/ssh_session.h"
#include "players/history_subsystem.h"
#include "players/tracker.h"
#include "remoteadmin/remote_admin_subsystem.h"
#include "reporting/journal_subsystem.h"
#include "rules/kills.h"
#include "rules/checks.h"
#include "stats/stats_subsystem.h"

namespace kv {
namespace {

using T = TSettingType;

constexpr TSettingDef kLogSourceRows[] = {
    {"UseSSH", T::Bool, "0", kStartup},        {"UseFTP", T::Bool, "0", kStartup},
    {"UseDirect", T::Bool, "1", kStartup},     {"UseNoLog", T::Bool, "0", kStartup},
    {"LocalLogFile", T::String, "", kStartup},
};

constexpr TSettingDef kLogWatchRows[] = {
    {"LogFileSSHTimeOut", T::Int, "60", kOnUse},   {"LogFileDirectTimeOut", T::Int, "30", kOnUse},
    {"LogFileFTPTimeOut", T::Int, "240", kOnUse},  {"RestartOnError", T::Bool, "1", kOnUse},
    {"ErrorRestartTimeOut", T::Int, "60", kOnUse}, {"ErrorRestartDelay", T::Int, "10", kOnUse},
};

constexpr TSettingDef kStartupRows[] = {
    {"StartOnStartup", T::Bool, "0", kOnUse},
};

constexpr TSettingRows kLifecycleSubsystemTables[] = {
    {TSettingPlace::LogSource, kLogSourceRows},
    {TSettingPlace::LogWatch, kLogWatchRows},
    {TSettingPlace::Startup, kStartupRows},
};

constexpr TSettingDef kAutoSaveRows[] = {
    {"SaveTimer", T::Int, "10", kStartup},
};

constexpr TSettingRows kAutoSaveSubsystemTables[] = {
    {TSettingPlace::AutoSave, kAutoSaveRows},
};

}  // namespace

std::span<const TSettingRows> TLifecycleSubsystem::Rows() {
  static const std::vector<TSettingRows> tables = [] {
    std::vector<TSettingRows> t(std::begin(kLifecycleSubsystemTables), std::end(kLifecycleSubsystemTables));
    for (const auto& followers : {TSShSession::SettingRows(), TFtpSession::SettingRows()})
      t.insert(t.end(), followers.begin(), followers.end());
    return t;
  }();
  return tables;
}
std::span<const TSettingRows> TAutoSaveSubsystem::Rows() { return kAutoSaveSubsystemTables; }

void RegisterKnownSettingRows() {
  const std::span<const TSettingRows> tables[] = {
      TJournalSubsystem::Rows(),   TConsoleSubsystem::Rows(),       TKickThreadList::Rows(),
      TBanWatch::Rows(),           TWeaponClassSubsystem::Rows(),   TStatusPollSubsystem::Rows(),
      TLifecycleSubsystem::Rows(), TAutoSaveSubsystem::Rows(),      THistoryStoreSubsystem::Rows(),
      THistoryUserList::Rows(),    TPlayerChecks::Rows(),
      TEventMessageController::Rows(), TRemoteAdminSubsystem::Rows(),
      TChatWatch::Rows(),
  };
  for (const auto& t : tables) RegisterSettingRows(t);
  RegisterSettingRows(TKillRules::Rows());
  RegisterSettingRows(TStatsSubsystem::Rows());
}

}  // namespace kv
