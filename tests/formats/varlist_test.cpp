#include "formats/varlist.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <thread>

namespace kv {
namespace {

std::string Bytes(const TVarList& list) {
  TMemoryStream s;
  list.SaveToStream(s);
  return s.Str();
}

TVarList Load(const std::string& bytes) {
  TMemoryStream s(bytes);
  TVarList list;
  list.LoadFromStream(s);
  return list;
}

const std::string kHeader = std::string("\x19\0\0\0", 4) + "Varlist Save Version: 1.3";

TEST(VarList, EmptyListIsFourZeroBytes) {
  TVarList list;
  EXPECT_EQ(Bytes(list), std::string(4, '\0'));
  EXPECT_EQ(Load(std::string(4, '\0')).Count(), 0);
  EXPECT_EQ(Load("").Count(), 0);
}

TEST(VarList, GoldenBytesOfOneInteger) {
  TVarList list;
  list.SetValue("x", 5);
  const std::string expected = std::string("\x03\0\0\0", 4) + "x\r\n" + kHeader + "\x02\x05";
  EXPECT_EQ(Bytes(list), expected);
  TVarList back = Load(expected);
  ASSERT_EQ(back.Count(), 1);
  EXPECT_EQ(back.GetValue("X").Type(), vtSmallint);
  EXPECT_EQ(back.GetValue("x").AsInteger(), 5);
}

// Each value: what it is written as (tag and payload) and what it reads back as.
struct TagCase {
  TVariant value;
  std::string encoded;  // tag + payload
  TVarType read_type;
};

TEST(VarList, TagTable) {
  const std::string s255(255, 'a'), s256(256, 'b');
  const TagCase cases[] = {
      {TVariant::Null(), std::string("\0", 1), vtNull},
      {TVariant(), "\x0D", vtEmpty},
      {TVariant(-128), "\x02\x80", vtSmallint},
      {TVariant(200), std::string("\x03\xC8\x00", 3), vtSmallint},
      {TVariant(-32768), std::string("\x03\x00\x80", 3), vtSmallint},
      {TVariant(70000), std::string("\x04\x70\x11\x01\x00", 5), vtInteger},
      {TVariant::Byte(255), std::string("\x03\xFF\x00", 3), vtSmallint},
      {TVariant::Smallint(-2), "\x02\xFE", vtSmallint},
      {TVariant(true), "\x09", vtBoolean},
      {TVariant(false), "\x08", vtBoolean},
      {TVariant(s255), "\x06\xFF" + s255, vtString},
      {TVariant(s256), std::string("\x0C\x00\x01\x00\x00", 5) + s256, vtString},
      {TVariant(1.0), std::string("\x05\0\0\0\0\0\0\0\x80\xFF\x3F", 11), vtDouble},
      {TVariant::Single(1.5f), std::string("\x0F\x00\x00\xC0\x3F", 5), vtSingle},
      {TVariant::Currency(25000), std::string("\x10\xA8\x61\0\0\0\0\0\0", 9), vtCurrency},
      {TVariant::Date(1.5), std::string("\x11\0\0\0\0\0\0\xF8\x3F", 9), vtDate},
      {TVariant::Wide(u"A\u00e4"), std::string("\x12\x02\0\0\0A\0\xE4\0", 9), vtOleStr},
      {TVariant::Bytes({1, 2, 3}), std::string("\x0A\x03\0\0\0\x01\x02\x03", 8), vtByteArray},
      {TVariant::Int64(-5), "\x06\x02-5", vtString},
      {TVariant::LongWord(4000000000u),
       "\x06\x0A"
       "4000000000",
       vtString},
  };
  for (const auto& c : cases) {
    TVarList list;
    list.SetValue("v", c.value);
    const std::string bytes = Bytes(list);
    const std::string expected = std::string("\x03\0\0\0", 4) + "v\r\n" + kHeader + c.encoded;
    EXPECT_EQ(bytes, expected) << VarTypeName(c.value.Type());
    const TVariant back = Load(bytes).GetValue("v");
    EXPECT_EQ(back.Type(), c.read_type) << VarTypeName(c.value.Type());
    if (c.read_type == c.value.Type()) {
      EXPECT_TRUE(back == c.value) << VarTypeName(c.value.Type());
    }
  }
}

TEST(VarList, ExtendedPrecisionRoundTrips) {
  for (double d : {0.0, -0.0, 1.0, -2.5, 3.141592653589793, 1e-310, 1e308, 123456789.125, 45000.75,
                   double(INFINITY), -double(INFINITY)}) {
    uint8_t ext[10];
    DoubleToExtended(d, ext);
    const double back = ExtendedToDouble(ext);
    EXPECT_EQ(back, d);
    EXPECT_EQ(std::signbit(back), std::signbit(d));
  }
  uint8_t ext[10];
  DoubleToExtended(NAN, ext);
  EXPECT_TRUE(std::isnan(ExtendedToDouble(ext)));
  // Values beyond the double range come back as infinity rather than garbage.
  const uint8_t huge[10] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFE, 0x7F};
  EXPECT_TRUE(std::isinf(ExtendedToDouble(huge)));
}

TEST(VarList, NamesIgnoreCaseAndStaySorted) {
  TVarList list;
  list.SetValue("Weapon", 1);
  list.SetValue("weapon", 2);
  list.SetValue("alpha", 3);
  list.SetValue("Zulu", 4);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.NameByIndex(0), "alpha");
  EXPECT_EQ(list.NameByIndex(1), "Weapon");  // the first spelling stays
  EXPECT_EQ(list.GetValue("WEAPON").AsInteger(), 2);
  EXPECT_EQ(list.NameByIndex(3), "");
  EXPECT_EQ(list.NameByIndex(-1), "");
}

TEST(VarList, MissingNameRaisesOrGivesNull) {
  TVarList list;
  try {
    list.GetValue("Kills");
    FAIL() << "no error";
  } catch (const EVarListError& e) {
    EXPECT_STREQ(e.what(), "Variable Kills nicht gefunden");
  }
  list.SetRaiseWhenMissing(false);
  EXPECT_TRUE(list.GetValue("Kills").IsNull());
}

TEST(VarList, AssignCopiesAndNullSourceClears) {
  TVarList a, b;
  a.SetValue("n", 1);
  a.SetValue("s", "text");
  b.SetValue("old", 1);
  b.Assign(&a);
  EXPECT_EQ(b.Count(), 2);
  EXPECT_FALSE(b.Exists("old"));
  b.Assign(nullptr);
  EXPECT_EQ(b.Count(), 0);
}

// A copy shares the original's variables until one of the two changes:
// every kind of change, on either side, leaves the other as it was.
TEST(VarList, CopiesStayApartAfterEveryChange) {
  TVarList a;
  a.SetValue("Kills", 1);
  a.SetValue("Nick", "Moe");
  TVarList b(a);
  b.SetValue("Kills", 2);
  EXPECT_EQ(a.GetValue("Kills").AsInteger(), 1);
  a.SetValue("Deaths", 5);
  EXPECT_FALSE(b.Exists("Deaths"));
  TVarList c;
  c = a;
  a.Remove("Nick");
  a.Delete(0);
  EXPECT_EQ(a.Count(), 1);
  EXPECT_EQ(c.Count(), 3);
  EXPECT_EQ(c.GetValue("Nick").AsString(), "Moe");
  TVarList d(c);
  c.Clear();
  EXPECT_EQ(d.Count(), 3);
  d.LoadFromStream(*std::make_unique<TMemoryStream>());
  EXPECT_EQ(d.Count(), 0);
  EXPECT_EQ(b.GetValue("Kills").AsInteger(), 2);
  EXPECT_EQ(Bytes(b), Bytes(TVarList(b)));
  // One look-up read and write: on a copy, and for a name not there yet.
  TVarList e(b);
  e.Update("KILLS", [](const TVariant* v) { return TVariant(v->AsInteger() + 1); });
  const TVariant set = e.Update("Assists", [](const TVariant* v) { return TVariant(v ? 0 : 9); });
  EXPECT_EQ(set.AsInteger(), 9);
  EXPECT_EQ(e.NameByIndex(0), "Assists");
  EXPECT_EQ(e.ValueByIndex(0).AsInteger(), 9);
  EXPECT_EQ(e.GetValue("Kills").AsInteger(), 3);
  EXPECT_EQ(b.GetValue("Kills").AsInteger(), 2);
  EXPECT_FALSE(b.Exists("Assists"));
}

// A list that loses most of its names (a history whose counters were reset)
// keeps working as names come and go, and a copy taken before keeps its own.
TEST(VarList, NamesComeAndGoInBulk) {
  const auto name = [](int i) { return "hasKilled [Player" + std::to_string(i) + "] [dm/mohdm6]"; };
  TVarList a;
  for (int i = 0; i < 3000; ++i) a.SetValue(name(i), i);
  const TVarList before(a);
  for (int i = 0; i < 3000; ++i)
    if (i % 10 != 0) a.Remove(name(i));
  for (int i = 3000; i < 3100; ++i) a.SetValue(name(i), i);
  ASSERT_EQ(a.Count(), 400);
  for (int i = 0; i < 3100; ++i) {
    TVariant v;
    const bool kept = i % 10 == 0 || i >= 3000;
    ASSERT_EQ(a.TryGetValue(name(i), v), kept) << name(i);
    if (kept) {
      EXPECT_EQ(v.AsInteger(), i);
    }
  }
  EXPECT_EQ(before.Count(), 3000);
  EXPECT_EQ(before.GetValue(name(1234)).AsInteger(), 1234);
  // The bytes are those of a list built afresh with the same variables.
  TVarList fresh;
  a.ForEach([&](std::string_view n, const TVariant& v) { fresh.SetValue(n, v); });
  EXPECT_EQ(Bytes(a), Bytes(fresh));
  for (int i = 0; i < 3100; ++i) a.Remove(name(i));
  EXPECT_EQ(a.Count(), 0);
  a.SetValue("Kills", 1);
  EXPECT_EQ(a.NameByIndex(0), "Kills");
}

// Damaged inputs: each must give the loader's error, never a crash or a
// blind allocation.
TEST(VarList, DamagedInputTable) {
  TVarList three;
  three.SetValue("a", 1);
  three.SetValue("b", 2);
  three.SetValue("c", 3);
  const std::string good = Bytes(three);
  const std::string two_values = good.substr(0, good.size() - 2);
  struct Case {
    const char* what;
    std::string bytes;
    const char* error;
  } cases[] = {
      {"three names, two values", two_values, kErrVarListCorrupted},
      {"names only", good.substr(0, 4 + 9), kErrVarListCorrupted},
      {"cut count", std::string("\x03\0", 2), kErrVarListCorrupted},
      {"negative names length", std::string("\xFF\xFF\xFF\xFF", 4), kErrVarListCorrupted},
      {"names length beyond the data", std::string("\xFF\xFF\xFF\x7F", 4) + "x\r\n", kErrVarListCorrupted},
      {"wrong header text",
       std::string("\x03\0\0\0", 4) + "x\r\n" + std::string("\x19\0\0\0", 4) + "Varlist Save Version: 1.2" +
           "\x02\x05",
       kErrVarListVersion},
      {"header length huge",
       std::string("\x03\0\0\0", 4) + "x\r\n" + std::string("\xFF\xFF\xFF\x7F", 4) + "V", kErrVarListVersion},
      {"negative long string", std::string("\x03\0\0\0", 4) + "x\r\n" + kHeader + "\x0C\xFF\xFF\xFF\xFF",
       kErrVarListCorrupted},
  };
  for (const auto& c : cases) {
    TMemoryStream s(c.bytes);
    TVarList list;
    try {
      list.LoadFromStream(s);
      ADD_FAILURE() << c.what << ": no error";
    } catch (const EVarListError& e) {
      EXPECT_STREQ(e.what(), c.error) << c.what;
    }
  }
}

TEST(VarList, ShortPayloadAndHugeAnnouncedLengthReadWhatIsThere) {
  // A long string announcing 2 GB with three bytes present reads the three bytes.
  const std::string bytes = std::string("\x03\0\0\0", 4) + "x\r\n" + kHeader + "\x0C\xFF\xFF\xFF\x7F" + "abc";
  EXPECT_EQ(Load(bytes).GetValue("x").AsString(), "abc");
  // A cut extended float is zero-filled.
  const std::string cut = std::string("\x03\0\0\0", 4) + "x\r\n" + kHeader + "\x05\0\0";
  EXPECT_EQ(Load(cut).GetValue("x").Type(), vtDouble);
}

TEST(VarList, UnknownTagReadsAsErrorForEveryLaterValue) {
  const std::string bytes = std::string("\x06\0\0\0", 4) + "a\r\nb\r\n" + kHeader + "\x63\x02\x05";
  TVarList list = Load(bytes);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.GetValue("a").Type(), vtError);
  EXPECT_EQ(list.GetValue("b").Type(), vtError);
  // An error value is saved as null so that the file stays aligned.
  TVarList back = Load(Bytes(list));
  EXPECT_TRUE(back.GetValue("a").IsNull());
}

TEST(VarListReader, TypedExpectations) {
  TMemoryStream s;
  {
    TMyWriter w(s);
    w.WriteValue(TVariant(7));
    w.WriteValue(TVariant(7));
    w.WriteValue(TVariant("text"));
    w.WriteValue(TVariant(2.5));
    w.WriteValue(TVariant(300));
  }
  s.Seek(0);
  TMyReader r(s);
  EXPECT_DOUBLE_EQ(r.ReadFloat(), 7.0);
  EXPECT_EQ(r.ReadCurrency(), 70000);
  try {
    r.ReadInteger();
    FAIL();
  } catch (const EVarListError& e) {
    EXPECT_STREQ(e.what(), kErrVariantType);
  }
  EXPECT_EQ(r.ReadString(), "text");
  EXPECT_THROW(r.ReadString(), EVarListError);
  EXPECT_DOUBLE_EQ(r.ReadFloat(), 2.5);
  EXPECT_EQ(r.ReadInteger(), 300);
}

TEST(RecordStreams, RoundTripAndTruncation) {
  TVarList a, b;
  a.SetValue("Name", "Alice");
  b.SetValue("Kills", 12);
  TMemoryStream s;
  WriteRecordList(s, {&a, &b});
  s.Seek(0);
  auto lists = ReadRecordList(s, "Error loading Test");
  ASSERT_EQ(lists.size(), 2u);
  EXPECT_EQ(lists[1].GetValue("Kills").AsInteger(), 12);

  const std::string whole = s.Str();
  for (size_t cut : {size_t{2}, size_t{6}, whole.size() - 1}) {
    TMemoryStream t(whole.substr(0, cut));
    EXPECT_THROW(ReadRecordList(t, "Error loading Test"), std::exception) << cut;
  }
  TMemoryStream neg(std::string("\x01\0\0\0\xF0\xFF\xFF\xFF", 8));
  try {
    ReadRecordList(neg, "Error loading Test");
    FAIL();
  } catch (const EVarListError& e) {
    EXPECT_STREQ(e.what(), "Error loading Test");
  }
}

TEST(VarList, ConcurrentWritersAndReaders) {
  TVarList list;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        list.SetValue("v" + std::to_string(i % 50), t * 1000 + i);
        TMemoryStream s;
        list.SaveToStream(s);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(list.Count(), 50);
  TVarList copy = Load(Bytes(list));
  EXPECT_EQ(copy.Count(), 50);
}

// A record copied into events while its owner keeps changing it: each copy
// keeps the values of its moment, read on other threads and dropped there.
TEST(VarList, CopiesReadOnOtherThreadsWhileTheOriginalChanges) {
  TVarList record;
  std::mutex m;
  std::vector<std::unique_ptr<TVarList>> handed;
  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  std::thread reader([&] {
    for (;;) {
      std::vector<std::unique_ptr<TVarList>> got;
      {
        std::lock_guard lock(m);
        got.swap(handed);
      }
      for (const auto& copy : got) {
        const int64_t kills = copy->GetValue("Kills").AsInteger();
        if (copy->GetValue("Half").AsInteger() != kills / 2) mismatches.fetch_add(1);
      }
      if (got.empty() && done) break;
      std::this_thread::yield();
    }
  });
  for (int i = 0; i < 5000; ++i) {
    record.SetValue("Kills", i);
    record.SetValue("Half", i / 2);
    auto copy = std::make_unique<TVarList>(record);
    std::lock_guard lock(m);
    handed.push_back(std::move(copy));
  }
  done = true;
  reader.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(record.GetValue("Kills").AsInteger(), 4999);
}

}  // namespace
}  // namespace kv
