#include "remoteadmin/accounts.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/clock.h"
#include "formats/cipher.h"
#include "remoteadmin/accounts_throttle.h"

namespace kv {
namespace {

TAccessListEntry Account(std::string name, std::string pass, std::string filter,
                         std::vector<std::string> rights) {
  return TAccessListEntry{std::move(name), std::move(pass), std::move(filter), std::move(rights)};
}

std::string Plain(const std::vector<TAccessListEntry>& accounts) {
  TMemoryStream s;
  WriteAccountsPlain(s, accounts);
  return s.Str();
}

TEST(AccountRecord, HasTheFixedLayout) {
  const std::string rec = AccountRecordBytes(Account("bob", "pw", "^127\\.", {"Get BanList", "KickUser"}));
  ASSERT_EQ(rec.size(), 772u + 23u);
  EXPECT_EQ(rec.substr(0, 4), std::string("\x03"
                                          "bob"));
  EXPECT_EQ(rec.substr(4, 252), std::string(252, '\0'));  // zeros after the text
  EXPECT_EQ(rec.substr(256, 3), std::string("\x02"
                                            "pw"));
  EXPECT_EQ(rec.substr(512, 7), std::string("\x06^127\\."));
  EXPECT_EQ(rec.substr(768, 4), std::string("\x17\0\0\0", 4));
  EXPECT_EQ(rec.substr(772), "Get BanList\r\nKickUser\r\n");

  TMemoryStream in(rec);
  EXPECT_EQ(ReadAccountRecord(in, rec.size()), Account("bob", "pw", "^127\\.", {"Get BanList", "KickUser"}));
  EXPECT_TRUE(in.AtEnd());
}

TEST(AccountRecord, LongTextsAreCutTo255) {
  const std::string rec = AccountRecordBytes(Account(std::string(300, 'n'), "p", "", {}));
  ASSERT_EQ(rec.size(), 772u);
  EXPECT_EQ(static_cast<uint8_t>(rec[0]), 255);
  TMemoryStream in(rec);
  EXPECT_EQ(ReadAccountRecord(in, rec.size()).user_name, std::string(255, 'n'));
}

TEST(AccountsFile, ThreeAccountsWithAnEmptyRecordInSecondPlace) {
  // A zero record length gives an account with an empty name there.
  TMemoryStream plain;
  plain.WriteInt32(3);
  for (const auto& a : {Account("a", "1", "", {"None"}), TAccessListEntry{}, Account("c", "3", "", {})}) {
    if (a.user_name.empty()) {
      plain.WriteInt32(0);
      continue;
    }
    const std::string rec = AccountRecordBytes(a);
    plain.WriteInt32(static_cast<int32_t>(rec.size()));
    plain.Write(rec.data(), rec.size());
  }
  TMemoryStream file(CipherFor(TCipherPurpose::RemoteAdmin).EncipherBytes(plain.Str()));
  TAccountTable table;
  table.LoadAccounts(file);
  EXPECT_EQ(table.AccountNames(), (std::vector<std::string>{"a", "", "c"}));
}

TEST(AccountsFile, RoundTripIsByteForByteAndEnciphered) {
  const std::vector<TAccessListEntry> accounts = {Account("Admin", "secret", "", {"Get BanList"}),
                                                  Account("admin", "other", "192\\.168\\.", {})};
  TMemoryStream file;
  WriteAccountsFile(file, accounts);
  EXPECT_EQ(file.Str(), CipherFor(TCipherPurpose::RemoteAdmin).EncipherBytes(Plain(accounts)));
  EXPECT_EQ(file.Str().find("secret"), std::string::npos);

  TAccountTable table;
  file.Seek(0);
  table.LoadAccounts(file);
  EXPECT_EQ(table.Accounts(), accounts);
  TMemoryStream again;
  table.SaveAccounts(again);
  EXPECT_EQ(again.Str(), file.Str());
}

TEST(AccountsFile, DamageKeepsTheAccountsReadBefore) {
  const std::string whole =
      Plain({Account("a", "1", "", {}), Account("b", "2", "", {}), Account("c", "3", "", {})});
  const std::string one = Plain({Account("a", "1", "", {})});
  struct TCase {
    const char* what;
    std::string plain;
    size_t kept;
  } cases[] = {
      {"cut inside the third record", whole.substr(0, whole.size() - 10), 2},
      {"cut before the third length", whole.substr(0, 4 + 2 * (4 + 772)), 2},
      {"count larger than the file", std::string("\x09\0\0\0", 4) + one.substr(4), 1},
      {"negative record length",
       std::string("\x02\0\0\0", 4) + one.substr(4) + std::string("\xff\xff\xff\xff", 4), 1},
      {"record shorter than its fixed part", std::string("\x01\0\0\0\x05\0\0\0abcde", 13), 0},
      {"rights running past the record",
       [&] {
         std::string s = one;
         s[4 + 4 + 768] = 9;  // rights length 9 in a record with none
         return s;
       }(),
       0},
      {"count without its bytes", std::string("\x01\0", 2), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TAccountTable table;
    table.AddAccount(Account("stale", "x", "", {}));
    TMemoryStream file(CipherFor(TCipherPurpose::RemoteAdmin).EncipherBytes(c.plain));
    try {
      table.LoadAccounts(file);
      ADD_FAILURE() << "no error";
    } catch (const EStreamError& e) {
      EXPECT_STREQ(e.what(), "Error loading ServerAccess Data");
    }
    EXPECT_EQ(table.Count(), c.kept);
  }
}

TEST(AccountsFile, EmptyFileHasNoAccountsAndDuplicateNamesAreDropped) {
  TAccountTable table;
  TMemoryStream empty;
  table.LoadAccounts(empty);
  EXPECT_EQ(table.Count(), 0u);

  TMemoryStream file;
  WriteAccountsFile(file, {Account("x", "first", "", {}), Account("x", "second", "", {})});
  file.Seek(0);
  table.LoadAccounts(file);
  ASSERT_EQ(table.Count(), 1u);
  EXPECT_EQ(table.Accounts()[0].password, "first");
}

TEST(AccountTable, OperationsAndCaseSensitiveNames) {
  TAccountTable table;
  EXPECT_TRUE(table.AddAccount(Account("Admin", "1", "", {})));
  EXPECT_TRUE(table.AddAccount(Account("admin", "2", "", {})));
  EXPECT_FALSE(table.AddAccount(Account("Admin", "3", "", {})));
  EXPECT_FALSE(table.FindAccount("ADMIN"));
  {
    auto found = table.FindAccount("admin");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->password, "2");
    // The same thread may use the table while it holds the account.
    EXPECT_EQ(table.Count(), 2u);
  }
  EXPECT_TRUE(table.ReplaceAccount(Account("Admin", "9", "", {"None"})));
  EXPECT_FALSE(table.ReplaceAccount(Account("nobody", "9", "", {})));
  EXPECT_EQ(table.AccountNames(), (std::vector<std::string>{"admin", "Admin"}));
  EXPECT_TRUE(table.DeleteAccount("admin"));
  EXPECT_FALSE(table.DeleteAccount("admin"));
  EXPECT_EQ(table.AccountNames(), std::vector<std::string>{"Admin"});
}

TEST(AccountTable, FindAccountHoldsTheLockUntilReleased) {
  TAccountTable table;
  table.AddAccount(Account("a", "1", "", {}));
  auto found = table.FindAccount("a");
  std::atomic<bool> added{false};
  std::thread other([&] {
    table.AddAccount(Account("b", "2", "", {}));
    added = true;
  });
  found->password = "changed";  // safe: the other thread waits
  EXPECT_FALSE(added.load());
  found.Release();
  other.join();
  EXPECT_TRUE(added.load());
  EXPECT_EQ(table.Accounts()[0].password, "changed");
}

TEST(AccountRights, LookedUpWithoutRegardToCase) {
  const auto a = Account("a", "", "", {"Get BanList"});
  EXPECT_TRUE(a.HasRight("get banlist"));
  EXPECT_TRUE(a.HasRight("GET BANLIST"));
  EXPECT_FALSE(a.HasRight("Get BanLis"));
}

TEST(AddressFilter, SearchedNotAnchored) {
  struct {
    const char* filter;
    const char* address;
    bool allowed;
  } cases[] = {
      {"", "10.0.0.1", true},
      {"192\\.168\\.", "192.168.1.7", true},
      {"192\\.168\\.", "10.192.168.1", true},  // a search finds it anywhere
      {"192\\.168\\.", "10.0.0.1", false},
      {"^127\\.0\\.0\\.1$", "127.0.0.1", true},
      {"^127\\.0\\.0\\.1$", "127.0.0.10", false},
      {"(", "127.0.0.1", false},  // no valid expression: nobody
  };
  for (const auto& c : cases)
    EXPECT_EQ(AddressAllowed(c.filter, c.address), c.allowed) << c.filter << " " << c.address;
}

TEST(Passwords, ComparedExactly) {
  EXPECT_TRUE(PasswordsEqual("secret", "secret"));
  EXPECT_TRUE(PasswordsEqual("", ""));
  EXPECT_FALSE(PasswordsEqual("secret", "Secret"));
  EXPECT_FALSE(PasswordsEqual("secret", "secret2"));
  EXPECT_FALSE(PasswordsEqual("secret", ""));
  EXPECT_FALSE(PasswordsEqual(std::string("a\0", 2), "a"));
}

TEST(LoginThrottle, FiveFailuresWithinAMinuteRefuseForSixtySeconds) {
  TManualClock clock;
  TLoginThrottle throttle(clock);
  for (int i = 0; i < 4; ++i) {
    EXPECT_FALSE(throttle.RecordFailure("10.0.0.1"));
    clock.Advance(10'000);
  }
  EXPECT_FALSE(throttle.Refused("10.0.0.1"));
  EXPECT_TRUE(throttle.RecordFailure("10.0.0.1"));  // the fifth, 40 s after the first
  EXPECT_TRUE(throttle.Refused("10.0.0.1"));
  EXPECT_FALSE(throttle.Refused("10.0.0.2"));  // per address
  clock.Advance(59'999);
  EXPECT_TRUE(throttle.Refused("10.0.0.1"));
  clock.Advance(1);
  EXPECT_FALSE(throttle.Refused("10.0.0.1"));
}

TEST(LoginThrottle, FailuresOutsideTheWindowAndSuccessesDoNotCount) {
  TManualClock clock;
  TLoginThrottle throttle(clock);
  for (int i = 0; i < 4; ++i) throttle.RecordFailure("a");
  clock.Advance(60'000);  // the four are older than a minute now
  EXPECT_FALSE(throttle.RecordFailure("a"));
  EXPECT_FALSE(throttle.Refused("a"));
  for (int i = 0; i < 3; ++i) throttle.RecordFailure("b");
  throttle.RecordSuccess("b");
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(throttle.RecordFailure("b"));
  EXPECT_FALSE(throttle.Refused("b"));
}

TEST(LoginThrottle, ManyAddressesStayBounded) {
  TManualClock clock;
  TLoginThrottle throttle(clock);
  for (int i = 0; i < 5; ++i) throttle.RecordFailure("victim");
  ASSERT_TRUE(throttle.Refused("victim"));
  // A flood of other addresses pushes out stale entries, not a refusal that
  // is still running.
  for (size_t i = 0; i < TLoginThrottle::kMaxAddresses * 2; ++i) {
    clock.Advance(1);
    throttle.RecordFailure("10.1." + std::to_string(i));
  }
  EXPECT_TRUE(throttle.Refused("victim"));
}

}  // namespace
}  // namespace kv
