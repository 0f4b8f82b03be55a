#include "domain/subsystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/mainloop.h"

namespace kv {
namespace {

class TRecorded : public TSubsystem {
 public:
  TRecorded(std::string name, std::vector<std::string>& log, bool fail_open = false)
      : name_(std::move(name)), log_(log), fail_open_(fail_open) {}
  std::string_view Name() const override { return name_; }
  void Open() override {
    if (fail_open_) throw std::runtime_error(name_ + " cannot open");
    log_.push_back("open " + name_);
  }
  void Start() override { log_.push_back("start " + name_); }
  void Stop() override { log_.push_back("stop " + name_); }
  void Close() override { log_.push_back("close " + name_); }

 private:
  std::string name_;
  std::vector<std::string>& log_;
  bool fail_open_;
};

// A part with rows at two places of the INI: the game server's (before
// every row without an owner) and the last one.
constexpr TSettingDef kEarlyRows[] = {{"TestPartEarly", TSettingType::Int, "7", kOnUse}};
constexpr TSettingDef kLateRows[] = {{"TestPartLate", TSettingType::Bool, "1", kOnUse}};
constexpr TSettingRows kPartTables[] = {{TSettingPlace::GameServer, kEarlyRows},
                                        {TSettingPlace::Update, kLateRows}};

class TRowOwner : public TSubsystem {
 public:
  std::string_view Name() const override { return "rows"; }
  std::span<const TSettingRows> SettingRows() const override { return kPartTables; }
};

std::vector<std::string> CatalogueKeys() {
  std::vector<std::string> keys;
  for (const TSettingDef& d : SettingsCatalogue()) keys.emplace_back(d.key);
  return keys;
}

TEST(SubsystemList, RegisteringPutsEachPartsRowsAtTheirPlaceOnce) {
  ASSERT_EQ(FindSetting("TestPartEarly"), nullptr);
  TDataFileRegistry registry;
  TMainLoop loop;
  TCommandTable commands(loop);
  {
    TSubsystemList list;
    list.Add(std::make_unique<TRowOwner>());
    list.RegisterAll(registry, commands);
  }
  // A second service of the process registers the same tables again.
  TSubsystemList again;
  again.Add(std::make_unique<TRowOwner>());
  again.RegisterAll(registry, commands);

  ASSERT_NE(FindSetting("testpartearly"), nullptr);
  EXPECT_EQ(FindSetting("TestPartEarly")->def, "7");
  const std::vector<std::string> keys = CatalogueKeys();
  EXPECT_EQ(std::count(keys.begin(), keys.end(), "TestPartEarly"), 1);
  const auto at = [&](const char* key) { return std::find(keys.begin(), keys.end(), key) - keys.begin(); };
  EXPECT_LT(at("TestPartEarly"), at("ServerPort"));  // the first row without an owner
  EXPECT_EQ(keys.back(), "TestPartLate");
}

TEST(SubsystemList, AKeyInTwoTablesIsRefusedAndChangesNothing) {
  // "savetimer" is in the catalogue already (as "SaveTimer").
  static constexpr TSettingDef kClash[] = {{"TestClashFree", TSettingType::Int, "1", kOnUse},
                                           {"savetimer", TSettingType::Int, "5", kOnUse}};
  static constexpr TSettingRows kTables[] = {{TSettingPlace::AutoSave, kClash}};
  const size_t before = SettingsCatalogue().size();
  EXPECT_THROW(RegisterSettingRows(kTables), std::logic_error);
  EXPECT_EQ(FindSetting("TestClashFree"), nullptr);
  EXPECT_EQ(SettingsCatalogue().size(), before);
}

TEST(SubsystemList, OpensInOrderAndClosesInReverseOnceOnly) {
  std::vector<std::string> log;
  {
    TSubsystemList list;
    list.Add(std::make_unique<TRecorded>("a", log));
    list.Add(std::make_unique<TRecorded>("b", log));
    list.OpenAll();
    list.StartAll();
    list.StopAll();
    list.CloseAll();
    list.CloseAll();
  }
  EXPECT_EQ(log, (std::vector<std::string>{"open a", "open b", "start a", "start b", "stop b", "stop a",
                                           "close b", "close a"}));
}

TEST(SubsystemList, AFailedOpenClosesWhatOpenedBeforeItAndNothingAfter) {
  std::vector<std::string> log;
  TSubsystemList list;
  list.Add(std::make_unique<TRecorded>("a", log));
  list.Add(std::make_unique<TRecorded>("b", log, true));
  list.Add(std::make_unique<TRecorded>("c", log));
  EXPECT_THROW(list.OpenAll(), std::runtime_error);
  list.CloseAll();
  EXPECT_EQ(log, (std::vector<std::string>{"open a", "close a"}));
}

}  // namespace
}  // namespace kv
