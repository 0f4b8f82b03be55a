// The rows of the settings catalogue that enforcement owns: kick timing and
// ban immunity (the weapon-class expressions are the classifier's own).
#include "enforcement/banwatch.h"
#include "enforcement/kicks.h"
#include "enforcement/weapon_class_subsystem.h"

namespace kv {
namespace {

using T = TSettingType;

constexpr TSettingDef kKicksRows[] = {
    {"MKickRepeat", T::Int, "1", kStartup},
    {"MKickDelay", T::Int, "5", kStartup},
    {"BKickRepeat", T::Int, "1", kStartup},
    {"BKickDelay", T::Int, "-1", kStartup},
};

constexpr TSettingRows kKickThreadListTables[] = {
    {TSettingPlace::Kicks, kKicksRows},
};

constexpr TSettingDef kBanWatchRows[] = {
    {"BanimmuneNicks", T::String, "\\[Z\\.A\\.Q\\]", kStartup},
    {"BanimmuneIps", T::String, "", kStartup},
};

constexpr TSettingRows kBanWatchTables[] = {
    {TSettingPlace::BanWatch, kBanWatchRows},
};

}  // namespace

std::span<const TSettingRows> TKickThreadList::Rows() { return kKickThreadListTables; }
std::span<const TSettingRows> TBanWatch::Rows() { return kBanWatchTables; }
// The classifier knows its defaults without a catalogue (tests, tools).
std::span<const TSettingRows> TWeaponClassSubsystem::Rows() { return TWeaponClassifier::SettingRows(); }

}  // namespace kv
