#include "enforcement/banlist.h"

#include <gtest/gtest.h>

#include <cstring>

#include "core/bus_scope.h"
#include "domain/events.h"
#include "tests/support/event_recorder.h"

namespace kv {
namespace {

using testing::TEventRecorder;

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char* kDigits = "0123456789abcdef";
  std::string s;
  for (uint8_t b : bytes) s += {kDigits[b >> 4], kDigits[b & 15]};
  return s;
}

std::string Unhex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// Two bans: a nick ban with an end, an anti-cheat id ban for ever with an
// empty message.
const char* kGolden =
    "02000000"          // count
    "0000000010f9e540"  // end 45000.5
    "00000000"
    "040000005e426164"  // address "", nick "^Bad"
    "00000000"
    "02000000676f"      // id "", message "go"
    "0000000000000000"  // end 0 (never)
    "00000000"
    "00000000"
    "03000000414331"  // "", "", id "AC1"
    "00000000";       // message ""

std::vector<TBanListEntry> GoldenBans() {
  TBanListEntry nick;
  nick.nick_filter = "^Bad";
  nick.end = 45000.5;
  nick.message = "go";
  TBanListEntry id;
  id.ac_id = "AC1";
  return {nick, id};
}

class BanListTest : public ::testing::Test {
 protected:
  BanListTest() : scope_({{"GLOBAL", kDataPointer}}) { RegisterSystemCategories(); }
  TBusScope scope_;
  TManualClock clock_{45000.0};
  TBanList list_{clock_};
};

TEST_F(BanListTest, FileBytesAndRoundTrip) {
  TMemoryStream out;
  WriteBanListFile(out, GoldenBans());
  EXPECT_EQ(Hex(out.Bytes()), kGolden);
  // Through the list: loaded and saved again byte for byte; the empty
  // message stays empty instead of becoming the default one.
  TMemoryStream in(Unhex(kGolden));
  list_.Load(in);
  EXPECT_EQ(list_.Entries(), GoldenBans());
  TMemoryStream again;
  list_.Save(again);
  EXPECT_EQ(Hex(again.Bytes()), kGolden);
}

// Damaged, truncated, empty and foreign files: a clear error, the bans read
// before the damage kept, nothing allocated for lengths the file cannot hold.
TEST_F(BanListTest, DamagedFiles) {
  const std::string golden = Unhex(kGolden);
  const std::string first_ban = golden.substr(4, 8 + 4 + 8 + 4 + 6);
  const auto count = [](int32_t n) {
    std::string s(4, '\0');
    std::memcpy(s.data(), &n, 4);
    return s;
  };
  const struct {
    const char* what;
    std::string bytes;
    size_t kept;
    const char* error;  // nullptr: loads
  } cases[] = {
      {"empty (no file)", "", 0, nullptr},
      {"no bans", count(0), 0, nullptr},
      {"more bans announced than held", count(3) + first_ban, 1, kBanLoadError},
      {"negative count", count(-1), 0, kBanLoadError},
      {"huge count, no bans", count(0x7fffffff), 0, kBanLoadError},
      {"cut count", std::string("\x01\x00", 2), 0, "Stream-Lesefehler"},
      {"cut end", count(1) + std::string("\x00\x00\x00", 3), 0, "Stream-Lesefehler"},
      {"absurd string length", count(1) + std::string(8, '\0') + "\xff\xff\xff\x7f" + "abc", 0,
       "Stream-Lesefehler"},
      {"cut message", golden.substr(0, golden.size() - 3), 1, "Stream-Lesefehler"},
      {"foreign bytes", "PK\x03\x04 not a ban list at all", 0, "Stream-Lesefehler"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    list_.AddBan("old", "", "", 0);
    TMemoryStream in(c.bytes);
    if (c.error) {
      try {
        list_.Load(in);
        ADD_FAILURE() << "loaded";
      } catch (const EStreamError& e) {
        EXPECT_STREQ(e.what(), c.error);
      }
    } else {
      EXPECT_NO_THROW(list_.Load(in));
    }
    EXPECT_EQ(list_.Count(), c.kept);  // the old contents are replaced either way
  }
}

TEST_F(BanListTest, AddingMergesByFiltersAndKeepsTheLaterEnd) {
  TEventRecorder added({ekBanAdded});
  EXPECT_EQ(list_.AddBan("Bad", "", "  %playernick% go away ", 30), 0);
  EXPECT_EQ(list_.AddBan("Bad", "", "  %playernick% go away ", 10), -1);  // earlier end: nothing changes
  const double thirty = 45000.0 + 30 / 1440.0;
  EXPECT_DOUBLE_EQ(list_.Entries()[0].end, thirty);
  EXPECT_EQ(list_.Entries()[0].message, "%playernick% go away");  // trimmed when appended
  EXPECT_EQ(list_.AddBan("Bad", "", "other", 0), -1);             // 0: for ever, and a new message
  EXPECT_EQ(list_.Entries()[0].end, 0);
  EXPECT_EQ(list_.Entries()[0].message, "other");
  EXPECT_EQ(list_.AddBan("Bad", "", "other", 60), -1);  // a "never" ban given a finite end takes it
  EXPECT_DOUBLE_EQ(list_.Entries()[0].end, 45000.0 + 60 / 1440.0);
  EXPECT_EQ(list_.AddBan("Bad", "", "", 60), -1);  // no message given: the stored one stays
  EXPECT_EQ(list_.Entries()[0].message, "other");
  EXPECT_EQ(list_.AddBan("bad", "", "", -1), 1);  // letter case counts; empty message: the default
  EXPECT_EQ(list_.Entries()[1].message, kDefaultBanMessage);
  EXPECT_EQ(list_.Entries()[1].end, 0);
  EXPECT_EQ(list_.AddIdBan("AC7", 0, "cheat"), 2);
  ASSERT_TRUE(added.WaitCount(5));
  ASSERT_TRUE(added.Flush());
  ASSERT_EQ(added.Count(), 5u);
  EXPECT_EQ(added.At(0)->text, "User: [Bad] Ip: [] Message:   %playernick% go away ");
  EXPECT_EQ(added.At(4)->text, "User ACID: [AC7] Message: cheat");

  TEventRecorder over({ekBanOver});
  EXPECT_TRUE(list_.RemoveBan("bad", ""));
  EXPECT_FALSE(list_.RemoveBan("nobody", ""));
  EXPECT_TRUE(list_.RemoveIdBan("AC7"));
  EXPECT_FALSE(list_.RemoveAt(1));
  EXPECT_TRUE(list_.RemoveAt(0));
  ASSERT_TRUE(over.WaitCount(3));
  EXPECT_EQ(over.At(0)->text, "User: [bad] Ip: [] Message: %playernick% is banned");
  EXPECT_EQ(over.At(1)->text, "User ACID: [AC7] Message: cheat");
  EXPECT_EQ(list_.Count(), 0u);
}

}  // namespace
}  // namespace kv
