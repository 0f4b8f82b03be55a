// The service's own rows of the settings catalogue (the log source, the
// followers' watch, the start on start-up, AutoSave), and the registration
// of every table this build knows.
#include "app/service_settings.h"

#include "app/service_subsystems.h"
#include "enforcement/banwatch.h"
#include "enforcement/kicks.h"
#include "enforcement/weapon_class_subsystem.h"
#include "gamelink/gamelink_subsystems.h"
#include "reporting/journal_subsystem.h"

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

std::span<const TSettingRows> TLifecycleSubsystem::Rows() { return kLifecycleSubsystemTables; }
std::span<const TSettingRows> TAutoSaveSubsystem::Rows() { return kAutoSaveSubsystemTables; }

void RegisterKnownSettingRows() {
  const std::span<const TSettingRows> tables[] = {
      TJournalSubsystem::Rows(),   TConsoleSubsystem::Rows(),     TKickThreadList::Rows(),
      TBanWatch::Rows(),           TWeaponClassSubsystem::Rows(), TStatusPollSubsystem::Rows(),
      TLifecycleSubsystem::Rows(), TAutoSaveSubsystem::Rows(),
  };
  for (const auto& t : tables) RegisterSettingRows(t);
}

}  // namespace kv
