// SkinList.dat, the skin lists, and the skin scan against mohsim's
// "dumpuser" over loopback UDP.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>

#include "core/datafiles.h"
#include "tests/rules/checks_fixture.h"
#include "tests/support/event_recorder.h"

namespace kv::testing {
namespace {

std::vector<std::string> Read(const std::string& bytes, std::string* error) {
  TMemoryStream in(std::vector<uint8_t>(bytes.begin(), bytes.end()));
  std::vector<std::string> skins;
  try {
    ReadSkinListFile(in, skins);
  } catch (const EStreamError& e) {
    *error = e.what();
  }
  return skins;
}

TEST(SkinListFile, ReadsEveryLineFormAndReportsDamageKeepingWhatCameBefore) {
  using V = std::vector<std::string>;
  const struct {
    const char* name;
    std::string bytes;
    V skins;
    std::string error;  // a piece of it; empty: none
  } cases[] = {
      {"empty", "", {}, ""},
      {"crlf",
       "allied_airborne\r\ngerman_panzer_grenadier\r\n",
       {"allied_airborne", "german_panzer_grenadier"},
       ""},
      {"lf, cr, no end, blanks, empty lines", "a\nb\r\r\n  c d \n\nlast", {"a", "b", "c d", "last"}, ""},
      {"control bytes",
       "good\r\nbad\x01skin\r\nnever\r\n",
       {"good"},
       "line 2 is no skin name (control characters)"},
      {"a NUL", std::string("ok\r\nx\0y\r\n", 9), {"ok"}, "line 2"},
      {"too long", "ok\r\n" + std::string(300, 'x') + "\r\n", {"ok"}, "longer than 255 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    EXPECT_EQ(Read(c.bytes, &error), c.skins);
    if (c.error.empty())
      EXPECT_EQ(error, "");
    else
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
  // A file over the cap: the lines within it are kept, the rest refused.
  std::string big;
  while (big.size() <= kMaxSkinListBytes) big += "skin_" + std::to_string(big.size()) + "\r\n";
  std::string error;
  const V skins = Read(big, &error);
  EXPECT_NE(error.find("larger than 1048576 bytes"), std::string::npos) << error;
  EXPECT_GT(skins.size(), 50000u);
  EXPECT_LT(skins.size(), 100000u);

  TMemoryStream out;
  WriteSkinListFile(out, {"a b", "c"});
  EXPECT_EQ(std::string(out.Bytes().begin(), out.Bytes().end()), "a b\r\nc\r\n");
}

TEST(SkinLists, SortedWithoutRegardToCaseAndNewOnlyWhenNeitherSeenNorConfigured) {
  TSkinLists lists;
  EXPECT_EQ(lists.ReplaceConfigured({"Zeta", "alpha", "ALPHA", " beta ", "bad\x02", ""}), 3u);
  EXPECT_EQ(lists.Configured(), (std::vector<std::string>{"alpha", "beta", "Zeta"}));
  EXPECT_TRUE(lists.IsConfigured("ZETA"));
  EXPECT_TRUE(lists.AddConfigured("Gamma"));
  EXPECT_FALSE(lists.AddConfigured("gamma"));
  EXPECT_FALSE(lists.AddConfigured(" "));
  EXPECT_FALSE(lists.NoteSeen("Alpha"));  // configured: not new
  EXPECT_TRUE(lists.NoteSeen("omega"));
  EXPECT_FALSE(lists.NoteSeen("OMEGA"));
  EXPECT_EQ(lists.Seen(), (std::vector<std::string>{"Alpha", "omega"}));
  lists.ClearSeen();
  EXPECT_TRUE(lists.Seen().empty());
}

class SkinScanTest : public ChecksTest {
 protected:
  // A scan is due at the poll after a player's arrival (his history is
  // online then), and again ScanSkinsallXSeconds later.
  void PollAndScan() {
    Poll();
    Settle();
  }
  int Dumpusers() const {
    int n = 0;
    for (const auto& c : sim_.Commands()) n += c.rfind("dumpuser", 0) == 0;
    return n;
  }
};

TEST_F(SkinScanTest, TheFirstScanAnnouncesChangesAndNewSkinsAndTheSecondNothing) {
  TEventRecorder events({ekNewSkin, ekSkinChanged});
  TChecksSettings s = Defaults();
  OpenChecks(s);
  checks_->Skins().ReplaceConfigured({"german_panzer_grenadier"});
  sim_.Join("Bob", "10.0.0.2");
  sim_.Join("Eve", "10.0.0.3");
  ASSERT_TRUE(sim_.SetSkins("Eve", "allied_airborne", "german_panzer_grenadier"));
  PollAndScan();
  EXPECT_EQ(Dumpusers(), 0);
  PollAndScan();
  EXPECT_EQ(Dumpusers(), 2);
  ASSERT_TRUE(events.Flush());
  std::multiset<std::string> changed, fresh;
  for (const auto& e : events.Events()) (e->kind == ekSkinChanged ? changed : fresh).insert(e->text);
  EXPECT_EQ(changed, (std::multiset<std::string>{"american_army", "german_wehrmacht_soldier",
                                                 "allied_airborne", "german_panzer_grenadier"}));
  // Not configured and not seen before; each once.
  EXPECT_EQ(fresh,
            (std::multiset<std::string>{"american_army", "german_wehrmacht_soldier", "allied_airborne"}));
  EXPECT_EQ(Var("Eve", "LastSkin").AsString(), "allied_airborne");
  EXPECT_EQ(Var("Eve", "LastSkin_German").AsString(), "german_panzer_grenadier");
  EXPECT_EQ(Var("Eve", "Skins_German_\"german_panzer_grenadier\"").AsInt64(), 1);
  EXPECT_EQ(Visit("Eve", "LastSkin").AsString(), "allied_airborne");
  const auto row = FindListEntry(*info_.players.Snapshot(), History("Eve")->player.client_number);
  EXPECT_EQ(row.allied_model, "allied_airborne");
  EXPECT_EQ(row.german_model, "german_panzer_grenadier");
  // The configured skin is banned (SkinOnlyDetect off): Eve's kick.
  ASSERT_EQ(kicker_.Kicks().size(), 1u);
  const auto k = kicker_.Kicks()[0];
  EXPECT_EQ(k.client, row.client_number);
  EXPECT_EQ(k.repetitions, 0);
  EXPECT_EQ(k.delay, s.skin_kick_delay + s.kick_delay);
  EXPECT_EQ(Extra(k.extra, "%skin%"), "german_panzer_grenadier");
  EXPECT_EQ(Extra(k.extra, "%side%"), "Axis");

  // Within the interval nothing is asked; after it, the same skins say nothing.
  const size_t before = events.Count();
  clock_.Advance(60'000);
  PollAndScan();
  EXPECT_EQ(Dumpusers(), 2);
  clock_.Advance(61'000);
  PollAndScan();
  EXPECT_EQ(Dumpusers(), 4);
  ASSERT_TRUE(events.Flush());
  EXPECT_EQ(events.Count(), before);
  EXPECT_EQ(checks_->Skins().Seen().size(), 4u);
}

TEST_F(SkinScanTest, WithOnlyAllowedSkinsAndAnEmptyListEveryPlayerIsKicked) {
  TChecksSettings s = Defaults();
  s.skin_only_detect = true;
  OpenChecks(s);
  sim_.Join("Bob", "10.0.0.2");
  PollAndScan();
  PollAndScan();
  ASSERT_EQ(kicker_.Kicks().size(), 1u);  // one kick, though both sides are refused
  EXPECT_EQ(kicker_.Kicks()[0].delay, 120 + s.kick_delay);
  EXPECT_EQ(Extra(kicker_.Kicks()[0].extra, "%side%"), "Axis");
}

TEST_F(SkinScanTest, RepliesWithoutSkinLinesLeaveTheScanDueAndOddNicksGoBySlot) {
  std::atomic<int> mode{0};
  std::mutex asked_mutex;
  std::vector<std::string> asked;
  const std::string garbage("\xff\xff\xff\xff\x01print\n\x00\x01::::\ndm_playermodel\n", 30);
  auto query = [&](const std::string& command) -> std::string {
    {
      std::lock_guard lock(asked_mutex);
      asked.push_back(command);
    }
    switch (mode.load()) {
      case 0: return "Timeout - check your setup and connection";
      case 1: return garbage;
      default:
        return "userinfo\n--------\ndm_playermodel       : " + std::string(400, 'x') +
               "\ndm_playergermanmodel : \ndm_playergermanmodel : german_scout\n";
    }
  };
  OpenChecks(Defaults(), nullptr, query);
  List({Row(3, "He said \"hi\"", "1.2.3.4"), Row(4, "7", "1.2.3.5")});
  List({Row(3, "He said \"hi\"", "1.2.3.4"), Row(4, "7", "1.2.3.5")});
  {
    std::lock_guard lock(asked_mutex);
    EXPECT_EQ(asked, (std::vector<std::string>{"dumpuser 3", "dumpuser 4"}));
  }
  EXPECT_TRUE(Visit("7", "LastSkinUpdate").IsEmptyOrNull());
  mode = 1;
  List({Row(4, "7", "1.2.3.5")});
  EXPECT_TRUE(Visit("7", "LastSkinUpdate").IsEmptyOrNull());
  EXPECT_TRUE(Stored("7", "LastSkin").IsEmptyOrNull());
  mode = 2;
  List({Row(4, "7", "1.2.3.5")});
  EXPECT_FALSE(Visit("7", "LastSkinUpdate").IsEmptyOrNull());
  // The over-long and the empty names are no skins; the good line counts.
  EXPECT_TRUE(Stored("7", "LastSkin").IsEmptyOrNull());
  EXPECT_EQ(Var("7", "LastSkin_German").AsString(), "german_scout");
  EXPECT_TRUE(kicker_.Kicks().empty());
}

// A Quake server's userinfo has one "model" line: it is the axis skin, and
// the player list gets no allied model.
TEST_F(SkinScanTest, TheQuakeFormReadsTheModelLine) {
  TChecksSettings s = Defaults();
  s.quake = true;
  OpenChecks(s, nullptr, [](const std::string&) {
    return std::string("userinfo\n--------\nname   Bob\nmodel  sarge/blue\nsnaps  20\n");
  });
  info_.players.With([](std::unique_ptr<TUserList>& current) {
    current = std::make_unique<TUserList>();
    current->Add(Row(2, "Bob", "1.2.3.4"));
  });
  List({Row(2, "Bob", "1.2.3.4")});
  List({Row(2, "Bob", "1.2.3.4")});
  EXPECT_EQ(Stored("Bob", "LastSkin_German").AsString(), "sarge/blue");
  EXPECT_TRUE(Stored("Bob", "LastSkin").IsEmptyOrNull());
  const auto row = FindListEntry(*info_.players.Snapshot(), 2);
  EXPECT_EQ(row.german_model, "sarge/blue");
  EXPECT_EQ(row.allied_model, "");
}

// A reply that comes late (a slow server, a tracker that is behind) is
// booked at the time of the poll that asked for it, so the next scan is due
// ScanSkinsallXSeconds after that poll, not after the reply.
TEST_F(SkinScanTest, AScanCountsFromThePollThatAskedForIt) {
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  int asked = 0;
  auto query = [&](const std::string&) {
    std::unique_lock lock(m);
    ++asked;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
    return std::string("userinfo\n--------\ndm_playergermanmodel : german_scout\n");
  };
  OpenChecks(Defaults(), nullptr, query);
  List({Row(2, "Bob", "1.2.3.4")});
  const double asked_at = clock_.Now();
  PostList({Row(2, "Bob", "1.2.3.4")});
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard lock(m);
    return asked == 1;
  }));
  clock_.Advance(200'000);
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  Settle();
  EXPECT_DOUBLE_EQ(Visit("Bob", "LastSkinUpdate").AsDouble(), asked_at);
  List({Row(2, "Bob", "1.2.3.4")});  // 200 s after the last scan's poll
  std::lock_guard lock(m);
  EXPECT_EQ(asked, 2);
}

TEST_F(SkinScanTest, TheSkinListIsADataFileAndTheTerminalShowsBothLists) {
  OpenChecks(Defaults());
  checks_->RegisterDataFiles(registry_);
  checks_->RegisterCommands(commands_);
  TDataFileRegistry::EnsureDataDir(home_.Path());
  std::ofstream(home_ / "Data" / "SkinList.dat", std::ios::binary)
      << "german_scout\r\nallied_pilot\r\nbad\x01\r\nnever\r\n";
  try {
    registry_.Load(TDataFileId::SkinList, home_.Path());
    ADD_FAILURE() << "no error";
  } catch (const EStreamError& e) {
    EXPECT_STREQ(e.what(), "line 3 is no skin name (control characters)");
  }
  EXPECT_EQ(checks_->Skins().Configured(), (std::vector<std::string>{"allied_pilot", "german_scout"}));
  const auto added = commands_.RunLine({}, "skins add Allied_Airborne");
  EXPECT_TRUE(added.ok) << added.text;
  registry_.Save(TDataFileId::SkinList, home_.Path());
  EXPECT_EQ(ReadFileText(home_ / "Data" / "SkinList.dat"),
            "Allied_Airborne\r\nallied_pilot\r\ngerman_scout\r\n");
  checks_->Skins().NoteSeen("american_army");
  const auto r = commands_.RunLine({}, "skins");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.text,
            "configured skins (banned), 3:\n  Allied_Airborne\n  allied_pilot\n  german_scout\n"
            "seen since start-up, 1:\n  american_army\n");
  EXPECT_EQ(r.data["seen"], nlohmann::json::array({"american_army"}));
  EXPECT_FALSE(commands_.RunLine({}, "skins add").ok);
  EXPECT_FALSE(commands_.RunLine({}, "skins remove x").ok);
}

}  // namespace
}  // namespace kv::testing
