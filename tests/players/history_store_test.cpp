#include "players/history_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "core/bus_scope.h"
#include "formats/cipher.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/event_recorder.h"
#include "tests/support/temp_home.h"

namespace kv {
namespace {

namespace fs = std::filesystem;
using testing::TBusRecorder;
using testing::TEventRecorder;
using testing::TRecordedMessage;

std::shared_ptr<THistoryUserEntry> Player(const std::string& nick, int kills, int client = kNoPlayer) {
  auto h = std::make_shared<THistoryUserEntry>();
  h->player.name = nick;
  h->player.client_number = client;
  h->persistent.SetValue("Kills", TVariant(kills));
  return h;
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string PlayerFile(const std::string& nick, int kills) { return EncodePlayerFile(*Player(nick, kills)); }

std::vector<std::string> Files(const fs::path& dir) {
  std::vector<std::string> names;
  if (!fs::exists(dir)) return names;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file()) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

struct TSystemBus {
  TBusScope scope{TBusScope::TCategories{}};
  TSystemBus() { RegisterSystemCategories(); }
};

class HistoryStoreTest : public ::testing::Test {
 protected:
  fs::path Dir() const { return home_ / "Data" / "History"; }
  fs::path FileOf(const std::string& nick) const { return Dir() / FileNameOfNick(nick); }
  std::unique_ptr<THUserList> Open() { return std::make_unique<THUserList>(Dir(), clock_); }
  int Kills(const THUserList::THistoryPtr& h) { return h->persistent.GetValue("Kills").AsInteger(); }
  bool Posted(const std::string& text, uint8_t level) {
    return recorder_.WaitFor([&](const TRecordedMessage& m) { return m.text == text && m.level == level; });
  }
  bool PostedStarting(const std::string& prefix, uint8_t level) {
    return recorder_.WaitFor(
        [&](const TRecordedMessage& m) { return m.text.rfind(prefix, 0) == 0 && m.level == level; });
  }

  testing::TTempHome home_;
  TManualClock clock_;
  TSystemBus bus_;
  TBusRecorder recorder_{{"GLOBAL"}};
  TEventRecorder events_{ekLoadingHistory, ekLoadingDone};
};

TEST_F(HistoryStoreTest, HistoriesLiveInTheCacheThenInTheirFilesAndAreFoundAgain) {
  fs::create_directories(Dir());
  WriteFile(Dir() / "index.lst", "Keep\r\n");
  {
    auto store = Open();
    auto added = store->AddUser(Player("Player", 3));
    // Nicks differing in the letter case of a-z are one player.
    EXPECT_EQ(store->GetUserEntry("PLAYER"), added);
    EXPECT_EQ(store->GetUserEntry("player"), added);
    EXPECT_EQ(store->GetUserEntry("Stranger"), nullptr);
    EXPECT_FALSE(fs::exists(FileOf("Player")));  // written later
  }                                              // destruction flushes
  EXPECT_TRUE(fs::exists(FileOf("player")));
  // A store that never built its index leaves index.lst alone.
  EXPECT_EQ(testing::ReadFileText(Dir() / "index.lst"), "Keep\r\n");
  EXPECT_TRUE(Posted("THUserList.FlushUsers [Player] removed from cache", mlInformation));

  auto store = Open();
  EXPECT_EQ(store->GetUserEntry("Player"), nullptr);  // unknown until the index is read
  store->RefreshKnownUsers();
  EXPECT_EQ(testing::ReadFileText(Dir() / "index.lst"), "Player\r\n");
  const auto loaded = store->GetUserEntry("pLAYER");
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(loaded->player.name, "Player");
  EXPECT_EQ(Kills(loaded), 3);
  EXPECT_EQ(store->GetUserEntry("Player"), loaded);
  EXPECT_EQ(store->CachedCount(), 1);
  EXPECT_EQ(store->CachedAt(0), loaded);
  EXPECT_EQ(store->CachedAt(1), nullptr);
  EXPECT_TRUE(Posted("THUserList.GetUserEntry [pLAYER] added to cache", mlInformation));
  EXPECT_TRUE(Posted("THUserList.RefreshKnownUsers - Stopped", mlInformation));
  EXPECT_TRUE(events_.WaitCount(2));
  EXPECT_EQ(events_.At(0)->kind, ekLoadingHistory);
  EXPECT_EQ(events_.At(1)->kind, ekLoadingDone);
}

TEST_F(HistoryStoreTest, OfflinePlayersLeaveTheCacheAfterTheTimeOutOnlinePlayersNever) {
  auto store = Open();
  store->AddUser(Player("Offline", 1));
  store->AddUser(Player("Online", 2, 4));
  store->AddUser(Player("Renewed", 3));
  clock_.Advance(100'000);
  store->TouchCached("Renewed");
  clock_.Advance(19'000);  // 119 s
  store->PurgeCache();
  EXPECT_EQ(store->CachedCount(), 3);
  clock_.Advance(2'000);  // 121 s
  store->PurgeCache();
  EXPECT_EQ(store->CachedCount(), 2);
  EXPECT_EQ(store->TouchCached("Offline"), nullptr);
  EXPECT_TRUE(fs::exists(FileOf("Offline")));
  EXPECT_TRUE(Posted("THUserList.PurgeCache [Offline] removed from cache", mlInformation));
  EXPECT_TRUE(store->IsKnown("Offline"));
  EXPECT_EQ(Kills(store->GetUserEntry("Offline")), 1);  // back from its file

  store->ApplySettings({.cache_timeout_s = 3600});
  clock_.Advance(4'000'000);
  store->PurgeCache();
  EXPECT_NE(store->TouchCached("Online"), nullptr);  // however old
  EXPECT_EQ(store->TouchCached("Renewed"), nullptr);
}

// A purge hands its saves to the writer thread. A save that cannot be
// written (here a directory stands where the file goes) stays pending: the
// history is still found, stays known through a refresh and is written at
// the next attempt; a nick deleted meanwhile is never written again.
TEST_F(HistoryStoreTest, APendingSaveKeepsItsHistoryReachableUntilWritten) {
  auto store = Open();
  const auto kept = store->AddUser(Player("Kept", 1));
  store->AddUser(Player("Dropped", 2));
  fs::create_directories(FileOf("Kept"));
  fs::create_directories(FileOf("Dropped"));
  clock_.Advance(121'000);
  store->PurgeCache(false);
  EXPECT_EQ(store->CachedCount(), 0);
  EXPECT_FALSE(store->WritePendingSaves());
  EXPECT_EQ(store->PendingSaves(), 2u);

  store->RefreshKnownUsers();
  EXPECT_EQ(store->KnownNicks(), (std::vector<std::string>{"Dropped", "Kept"}));
  EXPECT_EQ(store->GetUserEntry("kept"), kept);  // the same history, back in the cache
  EXPECT_EQ(store->CachedCount(), 1);
  store->DelUser("Dropped");
  EXPECT_EQ(store->PendingSaves(), 1u);

  // Changed after its purge: the pending save writes the history as it was
  // at the purge, the next purge the newer state.
  kept->persistent.SetValue("Kills", TVariant(5));
  fs::remove(FileOf("Kept"));
  fs::remove(FileOf("Dropped"));
  EXPECT_TRUE(store->WritePendingSaves());
  EXPECT_EQ(Kills(DecodePlayerFile(testing::ReadFileText(FileOf("Kept")))), 1);
  clock_.Advance(121'000);
  store->PurgeCache();
  EXPECT_EQ(store->PendingSaves(), 0u);
  EXPECT_FALSE(fs::exists(FileOf("Dropped")));
  const auto back = store->LoadUserByNick("Kept", false);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->persistent.GetValue("Kills").AsInteger(), 5);
}

// The index is rebuilt from index.lst and the files there are: lost index
// lines are found again, lines without a file go, files that are no player
// file are moved aside (never deleted), a file under another player's name
// is left alone.
TEST_F(HistoryStoreTest, RefreshRebuildsTheIndexAndMovesDamagedFilesAside) {
  fs::create_directories(Dir());
  WriteFile(FileOf("Known"), PlayerFile("Known", 1));
  WriteFile(FileOf("Lost"), PlayerFile("Lost", 2));
  WriteFile(Dir() / "0123456789ABCDEF0123456789ABCDEF", PlayerFile("Other", 3));
  WriteFile(Dir() / "junk", "\x7F\xFF\xFF\xFF garbage that is no history");
  WriteFile(Dir() / "empty", "");
  TMemoryStream plain;
  WriteHistoryRecord(plain, *Player("Foreign", 4));
  WriteFile(FileOf("Foreign"), CipherFor(TCipherPurpose::Settings).EncipherBytes(plain.Str()));
  WriteFile(FileOf("Half").string() + ".tmp~", "a save that never finished");
  WriteFile(Dir() / "index.lst", "Known\r\nGone\r\n");

  auto store = Open();
  store->RefreshKnownUsers();
  EXPECT_EQ(store->KnownNicks(), (std::vector<std::string>{"Known", "Lost"}));
  EXPECT_EQ(testing::ReadFileText(Dir() / "index.lst"), "Known\r\nLost\r\n");
  EXPECT_TRUE(fs::exists(Dir() / "0123456789ABCDEF0123456789ABCDEF"));
  EXPECT_EQ(Files(Dir() / "damaged"), (std::vector<std::string>{FileNameOfNick("Foreign"), "empty", "junk"}));
  EXPECT_FALSE(fs::exists(Dir() / "junk"));
  EXPECT_TRUE(PostedStarting("THUserList: damaged player file [" + (Dir() / "junk").string() + "] moved to [",
                             mlWarning));

  // A second damaged file of the same name does not replace the first.
  WriteFile(Dir() / "junk", "more garbage");
  store->RefreshKnownUsers();
  EXPECT_EQ(Files(Dir() / "damaged").size(), 4u);
  EXPECT_EQ(testing::ReadFileText(Dir() / "damaged" / "junk.1"), "more garbage");

  // Without index.lst every valid file is found through its nick.
  fs::remove(Dir() / "index.lst");
  store->RefreshKnownUsers();
  EXPECT_EQ(store->KnownNicks(), (std::vector<std::string>{"Known", "Lost"}));
  EXPECT_TRUE(PostedStarting("THUserList.RefreshKnownUsers - No Index found: ", mlWarning));
}

TEST_F(HistoryStoreTest, AMissingOrDamagedFileDropsItsNickAndKeepsTheBytes) {
  fs::create_directories(Dir());
  WriteFile(FileOf("Ghost"), PlayerFile("Ghost", 1));
  WriteFile(FileOf("Broken"), PlayerFile("Broken", 2));
  auto store = Open();
  store->RefreshKnownUsers();
  ASSERT_EQ(store->KnownCount(), 2u);

  fs::remove(FileOf("Ghost"));
  EXPECT_EQ(store->GetUserEntry("Ghost"), nullptr);
  EXPECT_FALSE(store->IsKnown("Ghost"));
  EXPECT_TRUE(PostedStarting("THUserList.LoadUserFromFileName: can not load user from [" +
                                 FileOf("Ghost").string() + "] ErrorMessage:",
                             mlCritical));

  // Valid nick, damaged statistics: not readable as a whole.
  std::string bytes = CipherFor(TCipherPurpose::PlayerHistory).DecipherBytes(PlayerFile("Broken", 2));
  bytes.resize(bytes.size() - 3);
  const std::string damaged = CipherFor(TCipherPurpose::PlayerHistory).EncipherBytes(bytes);
  WriteFile(FileOf("Broken"), damaged);
  EXPECT_EQ(store->GetUserEntry("Broken"), nullptr);
  EXPECT_FALSE(store->IsKnown("Broken"));
  EXPECT_EQ(testing::ReadFileText(Dir() / "damaged" / FileNameOfNick("Broken")), damaged);
  EXPECT_EQ(store->CachedCount(), 0);
}

TEST_F(HistoryStoreTest, RenameAndDeleteMoveTheHistoryOnDisk) {
  auto store = Open();
  auto old_history = store->AddUser(Player("Old", 7, 3));
  old_history->visit.SetValue("Team", TVariant(1));
  old_history->ping_samples = {50, 60};
  store->SaveAllUsers();
  ASSERT_TRUE(fs::exists(FileOf("Old")));

  EXPECT_EQ(store->RenameUser("Nobody", "X"), nullptr);
  const auto renamed = store->RenameUser("Old", "New");
  ASSERT_NE(renamed, nullptr);
  EXPECT_EQ(renamed->player.name, "New");
  EXPECT_EQ(renamed->player.client_number, 3);
  EXPECT_EQ(Kills(renamed), 7);
  EXPECT_EQ(renamed->visit.Count(), 0);
  EXPECT_EQ(renamed->ping_samples.size(), 1u);
  EXPECT_FALSE(fs::exists(FileOf("Old")));
  EXPECT_TRUE(fs::exists(FileOf("New")));
  EXPECT_EQ(store->KnownNicks(), std::vector<std::string>{"New"});
  EXPECT_EQ(store->GetUserEntry("New"), renamed);
  EXPECT_TRUE(Posted("THUserList.RenameUser renaming User from: [Old] to: [New]", mlInformation));

  // Only the letter case changes: the one file stays.
  store->RenameUser("New", "NEW");
  EXPECT_TRUE(fs::exists(FileOf("NEW")));
  EXPECT_EQ(store->KnownNicks(), std::vector<std::string>{"NEW"});

  store->DelUser("new");
  EXPECT_FALSE(fs::exists(FileOf("NEW")));
  EXPECT_EQ(store->KnownCount(), 0u);
  EXPECT_EQ(store->CachedCount(), 0);
  EXPECT_TRUE(Posted("THUserList.DelUserFile [new] removed from database [" + FileNameOfNick("NEW") + "]",
                     mlInformation));
  EXPECT_TRUE(Posted("THUserList UserDel: new", mlInformation));
}

// The look-up by client slot remembers its last answer: it must never give
// a history that left the slot, was renamed away or left the cache.
TEST_F(HistoryStoreTest, TheSlotLookUpFollowsPlayersThroughTheCache) {
  auto store = Open();
  const auto moe = store->AddUser(Player("Moe", 1, 3));
  store->AddUser(Player("Joe", 1, 4));
  EXPECT_EQ(store->FindCachedByClient(3), moe);
  EXPECT_EQ(store->FindCachedByClient(7), nullptr);
  EXPECT_EQ(store->FindCachedByClient(-1), nullptr);
  moe->player.client_number = kNoPlayer;  // he left the slot
  EXPECT_EQ(store->FindCachedByClient(3), nullptr);
  const auto ann = store->AddUser(Player("Ann", 1, 3));
  EXPECT_EQ(store->FindCachedByClient(3), ann);
  // Renamed: the slot's history is the new record, the old one is gone.
  const auto renamed = store->RenameUser("Ann", "Anna");
  ASSERT_NE(renamed, nullptr);
  EXPECT_EQ(store->FindCachedByClient(3), renamed);
  // Replaced under the same nick, then deleted.
  const auto again = store->AddUser(Player("Anna", 2, 3));
  EXPECT_EQ(store->FindCachedByClient(3), again);
  store->DelUser("Anna");
  EXPECT_EQ(store->FindCachedByClient(3), nullptr);
  // Slots beyond the remembered ones are found by walking the cache.
  const auto far = store->AddUser(Player("Far", 1, 500));
  EXPECT_EQ(store->FindCachedByClient(500), far);
  EXPECT_EQ(store->FindCachedByClient(4)->player.name, "Joe");
}

TEST_F(HistoryStoreTest, ExportAndImportCarryEveryHistory) {
  auto store = Open();
  store->AddUser(Player("Alpha", 1));
  store->AddUser(Player("Beta", 2));
  store->FlushUsers();
  store->AddUser(Player("Gamma", 3, 5));  // cached only: exported all the same
  TMemoryStream exported;
  store->ExportUsers(exported);

  testing::TTempHome other;
  THUserList target(other / "History", clock_);
  target.AddUser(Player("Zed", 9));
  target.FlushUsers();
  target.ImportUsers(exported);
  EXPECT_EQ(target.KnownNicks(), (std::vector<std::string>{"Alpha", "Beta", "Gamma"}));
  EXPECT_FALSE(fs::exists(other / "History" / FileNameOfNick("Zed")));
  EXPECT_EQ(Kills(target.GetUserEntry("Gamma")), 3);
  EXPECT_EQ(target.GetUserEntry("Gamma")->player.client_number, kNoPlayer);
  EXPECT_EQ(testing::ReadFileText(other / "History" / "index.lst"), "Alpha\r\nBeta\r\nGamma\r\n");

  // An empty store exports the count 0; importing that empties a store.
  testing::TTempHome empty_home;
  THUserList empty(empty_home / "History", clock_);
  TMemoryStream zero;
  empty.ExportUsers(zero);
  EXPECT_EQ(zero.Str(), std::string(4, '\0'));
  target.FlushUsers();
  target.ImportUsers(zero);
  EXPECT_EQ(target.KnownCount(), 0u);
  EXPECT_EQ(Files(other / "History"), std::vector<std::string>{"index.lst"});
}

TEST_F(HistoryStoreTest, ADamagedImportLeavesTheStoreAsItWas) {
  auto store = Open();
  store->AddUser(Player("Keep", 1));
  store->AddUser(Player("Also", 2));
  store->FlushUsers();
  TMemoryStream good;
  store->ExportUsers(good);
  const std::string bytes = good.Str();
  const auto files_before = Files(Dir());

  struct TCase {
    const char* what;
    std::string stream;
    const char* error;
  };
  std::string more = bytes;
  more[0] = 3;  // three announced, two there
  std::string bad = bytes;
  bad.replace(bytes.size() - 20, 4, "\xFF\xFF\xFF\x7F");
  const std::vector<TCase> cases = {
      {"truncated", bytes.substr(0, bytes.size() - 10), kErrLoadingHistoryData},
      {"fewer records than announced", more, kErrLoadingHistory},
      {"a record that is no record", bad, kErrLoadingHistoryData},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TMemoryStream in(c.stream);
    try {
      store->ImportUsers(in);
      ADD_FAILURE() << "no error";
    } catch (const EHistoryRecordError& e) {
      EXPECT_STREQ(e.what(), c.error);
    }
    EXPECT_EQ(Files(Dir()), files_before);
    EXPECT_EQ(store->KnownNicks(), (std::vector<std::string>{"Also", "Keep"}));
  }
  // "Loading Done" follows every "Loading History", also after an error.
  ASSERT_TRUE(events_.WaitCount(2 * cases.size()));
  EXPECT_TRUE(events_.Flush());
  for (size_t i = 0; i < events_.Count(); ++i)
    EXPECT_EQ(events_.At(i)->kind, i % 2 == 0 ? ekLoadingHistory : ekLoadingDone);
}

// Look-ups from several threads while the cache and the index change: every
// result is the history of the nick asked for, and the index ends up naming
// every cached history.
TEST_F(HistoryStoreTest, ConcurrentLookUpsSeeAConsistentStore) {
  auto store = Open();
  for (int i = 0; i < 50; ++i) store->AddUser(Player("P" + std::to_string(i), i));
  store->FlushUsers();
  std::atomic<bool> wrong{false};
  std::atomic<bool> stop{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&, t] {
      for (int n = 0; n < 3000 && !stop; ++n) {
        const std::string nick = "p" + std::to_string((n * 7 + t) % 50);
        const auto h = store->GetUserEntry(nick);
        if (h && NickKey(h->player.name) != NickKey(nick)) wrong = true;
        store->KnownNicks();
      }
    });
  }
  for (int n = 0; n < 300; ++n) {
    store->AddUser(Player("New" + std::to_string(n), n));
    if (n % 3 == 0) store->DelUser("New" + std::to_string(n / 2));
    if (n % 50 == 0) store->RefreshKnownUsers();
    clock_.Advance(1'000);
    TRecursiveLockGuard lock(store->StoreLock());
    for (int i = 0; i < store->CachedCount(); ++i)
      store->CachedAt(i)->persistent.SetValue("Seen", TVariant(n));
  }
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_FALSE(wrong);
  TRecursiveLockGuard lock(store->StoreLock());
  for (int i = 0; i < store->CachedCount(); ++i) EXPECT_TRUE(store->IsKnown(store->CachedAt(i)->player.name));
}

}  // namespace
}  // namespace kv
