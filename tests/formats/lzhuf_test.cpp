#include "formats/lzhuf.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "formats/digest.h"

namespace kv {
namespace {

std::string Compress(const std::string& plain) {
  TMemoryStream source(plain), destination;
  EXPECT_TRUE(CompressStream(source, destination));
  return destination.Str();
}

// Returns false on failure; out gets what the destination received.
bool Decompress(const std::string& packed, std::string& out, uint64_t maxLength = kLzhDefaultMaxLength) {
  TMemoryStream source(packed), destination;
  const bool ok = DecompressStream(source, destination, maxLength);
  out = destination.Str();
  return ok;
}

std::string WithLength(std::string packed, uint32_t length) {
  for (int i = 0; i < 4; ++i) packed[packed.size() - 4 + i] = static_cast<char>(length >> (8 * i));
  return packed;
}

std::string GameLog(size_t size, uint32_t seed) {
  static const char* kNames[] = {"Alice", "Bob", "[GER]Wolf", "Sgt.Pepper", "xX_Sniper_Xx", "M\xFCller"};
  static const char* kWeapons[] = {"sniped", "shot", "blown up", "bashed", "gunned down"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < size) {
    const char* a = kNames[rng() % 6];
    const char* b = kNames[rng() % 6];
    switch (rng() % 3) {
      case 0: s += std::string(a) + " was " + kWeapons[rng() % 5] + " by " + b + "\n"; break;
      case 1: s += std::string(a) + ": gg, score " + std::to_string(rng() % 100) + "\n"; break;
      default: s += b + std::string(" has joined the Allies (ping ") + std::to_string(rng() % 300) + ")\n";
    }
  }
  s.resize(size);
  return s;
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

TEST(LzhufTest, HundredBlanks) {
  const std::string packed = Compress(std::string(100, ' '));
  // One match of 60 (symbol 313, offset 59 into the pre-filled blanks), one
  // of 40, then the length.
  EXPECT_EQ(packed, std::string("\xC5\x1D\xD8\x84\xC0\x64\x00\x00\x00", 9));
  std::string out;
  ASSERT_TRUE(Decompress(packed, out));
  EXPECT_EQ(out, std::string(100, ' '));
}

std::string Hex(const std::string& bytes) {
  static const char* kDigits = "0123456789ABCDEF";
  std::string s;
  for (const char c : bytes) {
    s += kDigits[static_cast<uint8_t>(c) >> 4];
    s += kDigits[c & 15];
  }
  return s;
}

// The exact bytes are what peers read, so they are pinned: "xyz" occurs
// twice before "xyz3" and the nearer one must be chosen; the game log runs
// long enough to rebuild the Huffman tree twice.
TEST(LzhufTest, FormatPins) {
  std::string filler;
  for (int i = 0; i < 200; ++i) {
    filler += static_cast<char>('A' + i * 7 % 26);
    filler += static_cast<char>('a' + i * 11 % 26);
  }
  EXPECT_EQ(
      Hex(Compress("xyz1" + filler + "xyz2xyz3")),
      "040506DEF37DBD4FC76C0FC5F4E7FFFADF0EEFEFC987D1FBF600BBFF3F37FBA7EFED7EBC389CEFB75407B9F2F1FF7A1EEEBFE7"
      "BD8BE5FAF4803B3F1F07F01067203388338E338467CF19E2989EFA3007BF9C010000");
  EXPECT_EQ(DigestText(Compress(GameLog(1 << 20, 2))), "2BAC78B0899C721C98B33B7C1674C4B3");
}

TEST(LzhufTest, SourcesOfFourBytesOrFewerFailAndWriteNothing) {
  EXPECT_EQ(Compress(""), std::string(4, '\0'));  // so even that one does not come back
  for (size_t n = 0; n <= 4; ++n) {
    TMemoryStream source(std::string(n, '\0')), destination("keep");
    EXPECT_FALSE(DecompressStream(source, destination)) << n;
    EXPECT_EQ(destination.Str(), "keep");
  }
}

// The output is built in place when the destination ends at its position, so
// a failure there must cut it off again; elsewhere it is built aside. Either
// way a failure leaves the destination as it was, position included.
TEST(LzhufTest, AFailedDecompressionLeavesTheDestinationAsItWas) {
  const std::string packed = Compress(GameLog(20000, 8));
  const std::string damaged[] = {
      WithLength(packed.substr(0, packed.size() / 2) + "0000", 20000),
      WithLength(std::string(5, '\xFF'), 64u << 20),
      WithLength(packed, 60u << 20),
  };
  for (const auto& data : damaged) {
    for (uint64_t position : {0, 2, 4, 6}) {
      SCOPED_TRACE(position);
      TMemoryStream source(data), destination("keep");
      destination.Seek(position);
      EXPECT_FALSE(DecompressStream(source, destination));
      EXPECT_EQ(destination.Str(), "keep");
      EXPECT_EQ(destination.Position(), position);
    }
  }
}

TEST(LzhufTest, RoundTrips) {
  std::string allBytes;
  for (int r = 0; r < 20; ++r)
    for (int b = 0; b < 256; ++b) allBytes += static_cast<char>(b);
  const std::pair<const char*, std::string> cases[] = {
      {"one byte", "x"},
      {"two bytes", "ab"},
      {"59 blanks", std::string(59, ' ')},
      {"61 zeros", std::string(61, '\0')},
      {"window of zeros and one", std::string(4096, '\0') + "\x01"},
      {"all byte values", allBytes},
      {"random", RandomBytes(100000, 1)},
      {"game log", GameLog(300000, 2)},  // long enough to rebuild the tree several times
      {"one letter", std::string(1 << 20, 'A')},
      {"period 4097",
       [] {
         const std::string unit = RandomBytes(4097, 3);
         return unit + unit + unit;
       }()},
  };
  for (const auto& [name, plain] : cases) {
    SCOPED_TRACE(name);
    const std::string packed = Compress(plain);
    const uint32_t n = static_cast<uint32_t>(plain.size());
    EXPECT_EQ(packed.substr(packed.size() - 4),
              std::string({char(n), char(n >> 8), char(n >> 16), char(n >> 24)}));
    std::string out;
    ASSERT_TRUE(Decompress(packed, out));
    EXPECT_TRUE(out == plain);
  }
  EXPECT_LT(Compress(GameLog(300000, 2)).size(), 300000u / 3);
  EXPECT_LT(Compress(std::string(1 << 20, 'A')).size(), 30000u);
}

TEST(LzhufTest, ReadsTheWholeSourceAndWritesAtTheDestinationPosition) {
  const std::string plain = GameLog(5000, 4);
  TMemoryStream source(plain), packed("<<");
  source.Seek(1234);
  packed.Seek(2);
  ASSERT_TRUE(CompressStream(source, packed));
  EXPECT_EQ(packed.Str().substr(2), Compress(plain));
  TMemoryStream source2(packed.Str().substr(2)), out(">");
  source2.Seek(3);
  out.Seek(1);
  ASSERT_TRUE(DecompressStream(source2, out));
  EXPECT_EQ(out.Str(), ">" + plain);
  // One stream as both: the whole of it is the source, the result follows it.
  TMemoryStream both(Compress(plain));
  both.Seek(both.Size());
  ASSERT_TRUE(DecompressStream(both, both));
  EXPECT_EQ(both.Str(), Compress(plain) + plain);
}

TEST(LzhufTest, MatchCrossingTheLengthIsCopiedWhole) {
  // The first symbol is a 60-byte match; announcing 50 bytes stops after it.
  const std::string packed = WithLength(Compress(std::string(100, ' ')), 50);
  std::string out;
  ASSERT_TRUE(Decompress(packed, out));
  EXPECT_EQ(out, std::string(60, ' '));
}

TEST(LzhufTest, LengthCap) {
  const std::string plain = GameLog(10000, 5);
  const std::string packed = Compress(plain);
  std::string out;
  EXPECT_TRUE(Decompress(packed, out, plain.size()));
  EXPECT_FALSE(Decompress(packed, out, plain.size() - 1));
  EXPECT_EQ(out, "");
  EXPECT_FALSE(Decompress(WithLength(packed, 0xFFFFFFFF), out));

  TMemoryStream source(WithLength(packed, 0xFFFFFFFF)), destination;
  std::string error;
  EXPECT_FALSE(DecompressStream(source, destination, kLzhDefaultMaxLength, &error));
  EXPECT_EQ(error, "LZH : announced length 4294967295 exceeds the limit of 67108864 bytes");
}

TEST(LzhufTest, DamagedInputFailsOrStaysBounded) {
  const std::string plain = GameLog(20000, 6);
  const std::string packed = Compress(plain);
  const std::string stream = packed.substr(0, packed.size() - 4);
  struct TCase {
    const char* name;
    std::string data;
    bool mustFail;
  };
  std::vector<TCase> cases = {
      {"stream cut in half", WithLength(stream.substr(0, stream.size() / 2) + "0000", 20000), true},
      {"only the first byte", WithLength(stream.substr(0, 1) + "0000", 20000), true},
      {"60 MiB announced", WithLength(packed, 60u << 20), true},
      {"5 bytes announcing 64 MiB", WithLength(std::string(5, '\xFF'), 64u << 20), true},
  };
  for (size_t at : {size_t{0}, size_t{1}, stream.size() / 2, stream.size() - 1}) {
    std::string flipped = packed;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x5A);
    cases.push_back({"flipped byte", flipped, false});
  }
  const auto started = std::chrono::steady_clock::now();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out;
    const bool ok = Decompress(c.data, out);
    if (c.mustFail) {
      EXPECT_FALSE(ok);
    }
    if (ok) {
      EXPECT_GE(out.size(), 20000u);
      EXPECT_LE(out.size(), 20000u + 59);
    } else {
      EXPECT_EQ(out, "");
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

// Before the first byte the window holds 4036 blanks followed by 60 zeros.
// Each stream is one 60-byte match (the fresh tree's code C5 for symbol
// 313), position code FF for the upper six bits and then the lower six.
TEST(LzhufTest, MatchesBeforeTheFirstByteReadTheInitialWindow) {
  const std::pair<std::string, std::string> cases[] = {
      {"\xC5\xFF\xFC", std::string(60, '\0')},                        // offset 4095: the zeros
      {"\xC5\xFF\x10", std::string(1, '\0') + std::string(59, ' ')},  // 4036: the last zero, then blanks
      {"\xC5\xFF\x0C", std::string(60, ' ')},                         // 4035: the first blank of the window
  };
  for (const auto& [stream, expected] : cases) {
    std::string out;
    ASSERT_TRUE(Decompress(WithLength(stream + "0000", 60), out));
    EXPECT_EQ(out, expected);
  }
}

// Any bit stream decodes to something, and how is pinned: peers may send
// streams our encoder would never make. The figures agree with the classic
// 1988 decoder on the same streams.
TEST(LzhufTest, ArbitraryStreamsDecodeAsPinned) {
  std::string all;
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    std::string out;
    ASSERT_TRUE(Decompress(WithLength(RandomBytes(3000, seed) + "0000", 6000), out)) << seed;
    all += out;
  }
  EXPECT_EQ(all.size(), 240701u);  // matches that cross the length are copied whole
  EXPECT_EQ(DigestText(all), "EBBC67F5658159BA6FCBDF54A00C376E");
}

TEST(LzhufTest, RandomGarbageNeverRunsAway) {
  std::mt19937 rng(7);
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 3000; ++i) {
    std::string data = RandomBytes(5 + rng() % 400, rng());
    const uint32_t announced = i % 3 == 0 ? rng() : rng() % 100000;
    data = WithLength(data, announced);
    std::string out;
    if (Decompress(data, out, 1 << 20)) {
      ASSERT_LE(announced, 1u << 20);
      ASSERT_GE(out.size(), announced);
      ASSERT_LE(out.size(), announced + 59u);
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
}

}  // namespace
}  // namespace kv
