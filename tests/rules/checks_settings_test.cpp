// The checks' rows keep their place in a fresh INI: between the spree rows
// and the weapon watch's switch, and after the bad-word list.
#include <gtest/gtest.h>

#include <algorithm>

#include "domain/settings.h"

namespace kv {
namespace {

TEST(ChecksSettingRows, StandWhereTheIniHasAlwaysListedThem) {
  std::vector<std::string> keys;
  for (const TSettingDef& d : SettingsCatalogue()) keys.emplace_back(d.key);
  auto run = [&](const std::string& first, size_t n) {
    const auto it = std::find(keys.begin(), keys.end(), first);
    EXPECT_NE(it, keys.end()) << first;
    if (it == keys.end() || keys.end() - it < static_cast<std::ptrdiff_t>(n))
      return std::vector<std::string>{};
    return std::vector<std::string>(it, it + static_cast<std::ptrdiff_t>(n));
  };
  EXPECT_EQ(run("LoosingSpringResetonNewRound", 16),
            (std::vector<std::string>{"LoosingSpringResetonNewRound", "PingCheckEnabled", "PingMessure",
                                      "PingTime", "PingTimeMin", "PingMessage", "PingMessageMin",
                                      "PingIgnore", "PingIgnoreNick", "EnableSkinDetect", "SkinOnlyDetect",
                                      "ScanSkinsallXSeconds", "SkinKickMsg", "SkinKickDelay",
                                      "EnableWeaponDetect", "WeaponRegExprunknown"}));
  EXPECT_EQ(run("BadWords", 8),
            (std::vector<std::string>{"BadWords", "BadWordKickCount", "BadWordBanCount", "BadWordBanTime",
                                      "BadWordWarning", "BadWordKick", "BadWordBan", "ScoreFormular"}));
}

}  // namespace
}  // namespace kv
