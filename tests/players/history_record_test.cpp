#include "players/history_record.h"

#include <gtest/gtest.h>

#include "formats/cipher.h"

namespace kv {
namespace {

std::unique_ptr<THistoryUserEntry> Sample() {
  auto h = std::make_unique<THistoryUserEntry>();
  h->player.name = "Ab";
  h->player.address = "1.2.3.4";
  h->player.score = 5;
  h->player.ping = 6;
  h->player.client_number = 3;  // online: the file says -999 all the same
  h->player.last_message = 7;
  h->player.qport = 8;
  h->player.rate = 9;
  h->player.map = "dm/mohdm6";
  h->player.team_name = "allies";
  h->persistent.SetValue("x", TVariant(5));
  h->visit.SetValue("Team", TVariant(2));
  return h;
}

std::string Le32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
  return s;
}

const std::string kVarX = Le32(3) + "x\r\n" + Le32(25) + "Varlist Save Version: 1.3" + "\x02\x05";
const std::string kSampleRecord = Le32(2) + "Ab" + Le32(7) + "1.2.3.4" + Le32(5) + Le32(6) +
                                  Le32(0xFFFFFC19) + Le32(7) + Le32(8) + Le32(9) + Le32(38) + kVarX;

TEST(HistoryRecord, WritesTheRecordByteForByteAndTheFileEnciphered) {
  const auto h = Sample();
  TMemoryStream s;
  WriteHistoryRecord(s, *h);
  EXPECT_EQ(s.Str(), kSampleRecord);
  const std::string file = EncodePlayerFile(*h);
  EXPECT_EQ(file, CipherFor(TCipherPurpose::PlayerHistory).EncipherBytes(kSampleRecord));

  // Read back: the stored parts only; what the record does not hold is empty.
  const auto back = DecodePlayerFile(file);
  EXPECT_EQ(back->player.name, "Ab");
  EXPECT_EQ(back->player.address, "1.2.3.4");
  EXPECT_EQ(back->player.client_number, -999);
  EXPECT_EQ(back->player.rate, 9);
  EXPECT_EQ(back->player.map, "");
  EXPECT_EQ(back->player.team_name, "");
  EXPECT_EQ(back->player.weapon, "");
  EXPECT_EQ(back->persistent.GetValue("x").AsInteger(), 5);
  EXPECT_EQ(back->visit.Count(), 0);
  EXPECT_EQ(DecodePlayerFileNick(file), "Ab");
}

TEST(HistoryRecord, FileNamesFoldOnlyAsciiLetters) {
  EXPECT_EQ(FileNameOfNick("abc"), "902FBDD2B1DF0C4F70B4A5D23525E932");  // MD5("ABC")
  EXPECT_EQ(FileNameOfNick("aBc"), FileNameOfNick("ABC"));
  // An accented letter keeps its byte: MD5 of "P\xC9L\xE9" (only p, l change).
  EXPECT_EQ(FileNameOfNick("p\xC9l\xE9"), "3901E9E79298D813A91B4E781B15F7D7");
  EXPECT_NE(FileNameOfNick("\xE9"), FileNameOfNick("\xC9"));
}

TEST(HistoryRecord, ClonePlayerKeepsRowAndStatisticsOnly) {
  EXPECT_EQ(ClonePlayer(nullptr), nullptr);
  const auto h = Sample();
  h->ping_samples = {40, 50, 60};
  const auto c = ClonePlayer(h.get());
  EXPECT_EQ(c->player, h->player);
  EXPECT_EQ(c->persistent.GetValue("x").AsInteger(), 5);
  EXPECT_EQ(c->visit.Count(), 0);
  EXPECT_EQ(c->ping_samples.size(), 1u);
}

// Every way a record can be damaged is refused without reading or
// allocating past the bytes there are.
TEST(HistoryRecord, DamagedRecordsAreRefused) {
  struct TCase {
    const char* what;
    std::string bytes;
  };
  const std::string tail_after_nick = kSampleRecord.substr(6);
  const std::vector<TCase> cases = {
      {"empty", ""},
      {"absurd nick length", Le32(0x7FFFFFFF) + "Ab"},
      {"negative nick length", Le32(0xFFFFFFFF) + tail_after_nick},
      {"nick longer than the cap", Le32(5000) + std::string(5000, 'a') + kSampleRecord.substr(6)},
      {"ends inside the integers", kSampleRecord.substr(0, 30)},
      {"variable block longer than the rest",
       kSampleRecord.substr(0, kSampleRecord.size() - kVarX.size() - 4) + Le32(1000) + kVarX},
      {"negative variable block",
       kSampleRecord.substr(0, kSampleRecord.size() - kVarX.size() - 4) + Le32(0x80000000) + kVarX},
      {"variable block cut", kSampleRecord.substr(0, kSampleRecord.size() - 2)},
      {"variable block not a list",
       kSampleRecord.substr(0, kSampleRecord.size() - kVarX.size() - 4) + Le32(8) + Le32(3) + "x\r\n" + "?"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TMemoryStream s(c.bytes);
    EXPECT_ANY_THROW(ReadHistoryRecord(s));
    EXPECT_ANY_THROW(DecodePlayerFile(CipherFor(TCipherPurpose::PlayerHistory).EncipherBytes(c.bytes)));
  }
  // Bytes enciphered with another pass phrase are no record either.
  EXPECT_THROW(DecodePlayerFile(CipherFor(TCipherPurpose::Settings).EncipherBytes(kSampleRecord)),
               EHistoryRecordError);
  EXPECT_THROW(DecodePlayerFile(std::string(kMaxPlayerFileBytes + 1, 'x')), EHistoryRecordError);
}

TEST(HistoryRecord, ExportStreamIsCheckedRecordByRecord) {
  const auto h = Sample();
  TMemoryStream two;
  WriteExportHeader(two, 2);
  WriteHistoryRecord(two, *h);
  WriteHistoryRecord(two, *h);
  std::vector<std::string> seen;
  EXPECT_EQ(ReadExportStream(two,
                             [&](std::unique_ptr<THistoryUserEntry> r) {
                               EXPECT_EQ(r->player.client_number, -999);
                               seen.push_back(r->player.name);
                             }),
            2);
  EXPECT_EQ(seen, (std::vector<std::string>{"Ab", "Ab"}));

  TMemoryStream empty;
  EXPECT_EQ(ReadExportStream(empty, {}), 0);

  struct TCase {
    const char* what;
    std::string bytes;
    const char* error;
  };
  const std::vector<TCase> cases = {
      {"fewer records than announced", Le32(3) + kSampleRecord + kSampleRecord, kErrLoadingHistory},
      {"count cut", "\x01\x00", kErrLoadingHistory},
      {"a record that is no record", Le32(2) + kSampleRecord + Le32(0x7FFFFFFF) + "xx",
       kErrLoadingHistoryData},
      {"a record cut short", Le32(1) + kSampleRecord.substr(0, 20), kErrLoadingHistoryData},
      {"negative count", Le32(0xFFFFFFFF), kErrLoadingHistoryData},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TMemoryStream s(c.bytes);
    try {
      ReadExportStream(s, {});
      ADD_FAILURE() << "no error";
    } catch (const EHistoryRecordError& e) {
      EXPECT_STREQ(e.what(), c.error);
    }
  }
}

}  // namespace
}  // namespace kv
