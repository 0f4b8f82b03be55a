#include "core/cipher.h"

#include <crypto++/3way.h>
#include <crypto++/ripemd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

#include "core/base64.h"

namespace kv {
namespace {

using TWords = std::array<uint32_t, 3>;

std::string WordsToBytes(const TWords& w) {
  std::string b(12, '\0');
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 4; ++k) b[4 * i + k] = static_cast<char>(w[i] >> (8 * k));
  return b;
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

const auto* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Published 3-Way vectors, as three little-endian words in order. The last
// one chains the first two (its key is the second's ciphertext, its
// plaintext the first's), which pins the word order of key and block.
TEST(ThreeWayTest, ReferenceVectors) {
  struct TCase {
    TWords key, plain, cipher;
  };
  const TCase cases[] = {
      {{0, 0, 0}, {1, 1, 1}, {0xad21ecf7, 0x83ae9dc4, 0x4059c76e}},
      {{4, 5, 6}, {1, 2, 3}, {0xcab920cd, 0xd6144138, 0xd2f05b5e}},
      {{0xcab920cd, 0xd6144138, 0xd2f05b5e},
       {0xad21ecf7, 0x83ae9dc4, 0x4059c76e},
       {0x15b155ed, 0x6b13f17c, 0x478ea871}},
  };
  for (const auto& c : cases) {
    TThreeWay block;
    block.SetKey(U8(WordsToBytes(c.key)));
    std::string out(12, '\0'), back(12, '\0');
    block.Encrypt(U8(WordsToBytes(c.plain)), reinterpret_cast<uint8_t*>(out.data()));
    EXPECT_EQ(out, WordsToBytes(c.cipher));
    block.Decrypt(U8(out), reinterpret_cast<uint8_t*>(back.data()));
    EXPECT_EQ(back, WordsToBytes(c.plain));
  }
}

// The mode written out plainly from its description, on bare library calls:
// the yardstick for TCipher.
class TModel {
 public:
  explicit TModel(std::string_view passPhrase) {
    uint8_t digest[32];
    CryptoPP::RIPEMD256().CalculateDigest(digest, reinterpret_cast<const uint8_t*>(passPhrase.data()),
                                          passPhrase.size());
    uint8_t key[12];
    std::reverse_copy(digest, digest + 12, key);
    enc_.SetKey(key, 12);
    v_ = E(std::string(12, '\xFF'));
  }
  std::string E(const std::string& block) const {
    std::string in(block.rbegin(), block.rend()), out(12, '\0');
    enc_.ProcessBlock(U8(in), reinterpret_cast<uint8_t*>(out.data()));
    return std::string(out.rbegin(), out.rend());
  }
  std::string Encipher(const std::string& data, size_t chunk) const {
    std::string out, f = v_;
    for (size_t pos = 0; pos < data.size(); pos += chunk) {
      const std::string part = data.substr(pos, chunk);
      size_t i = 0;
      for (; i + 12 <= part.size(); i += 12) {
        const std::string c = E(Xor(part.substr(i, 12), f));
        f = Xor(c, f);
        out += c;
      }
      if (i < part.size()) {
        const std::string b = E(f);
        out += Xor(part.substr(i), b.substr(0, part.size() - i));
        f = Xor(b, f);
      }
    }
    return out;
  }
  const std::string& V() const { return v_; }

 private:
  static std::string Xor(std::string a, const std::string& b) {
    for (size_t k = 0; k < a.size(); ++k) a[k] ^= b[k];
    return a;
  }
  CryptoPP::ThreeWay::Encryption enc_;
  std::string v_;
};

std::string StreamEncipher(const TCipher& cipher, const std::string& plain) {
  TMemoryStream source(plain), destination;
  cipher.EncipherStream(source, destination, plain.size());
  return destination.Str();
}

TEST(CipherTest, MatchesModelAcrossBlockAndChunkBoundaries) {
  const std::string phrase(PassPhrase(TCipherPurpose::RemoteAdmin));
  const TCipher cipher(phrase);
  const TModel model(phrase);
  const TCipher::TBlock v = cipher.InitialVector();
  EXPECT_EQ(std::string(v.begin(), v.end()), model.V());
  for (size_t n : {0, 1, 5, 11, 12, 13, 23, 24, 25, 4095, 4096, 4097, 4100, 4108, 8192, 8197, 12300}) {
    SCOPED_TRACE(n);
    const std::string plain = RandomBytes(n, static_cast<uint32_t>(n));
    const std::string expected = model.Encipher(plain, 4096);
    EXPECT_EQ(StreamEncipher(cipher, plain), expected);
    EXPECT_EQ(cipher.EncipherBytes(plain), expected);
    EXPECT_EQ(cipher.DecipherBytes(expected), plain);
  }
}

TEST(CipherTest, StreamOf4100BytesIsAFullChunkThenATailChunk) {
  const TCipher cipher(TCipherPurpose::Settings);
  const TModel model(PassPhrase(TCipherPurpose::Settings));
  const std::string plain = RandomBytes(4100, 7);
  const std::string got = StreamEncipher(cipher, plain);
  EXPECT_EQ(got, model.Encipher(plain, 4096));
  // Without the chunking only the 4-byte tail after the first 4092 bytes
  // would differ; with it bytes 4092..4095 are a tail step of their own.
  const std::string unchunked = model.Encipher(plain, plain.size());
  EXPECT_EQ(got.substr(0, 4092), unchunked.substr(0, 4092));
  EXPECT_NE(got.substr(4092), unchunked.substr(4092));
}

TEST(CipherTest, ShortMessagesUseOnlyTheTailOrOnlyTheBlockStep) {
  const TCipher cipher("Passwort");
  TThreeWay block;
  {
    uint8_t digest[32];
    CryptoPP::RIPEMD256().CalculateDigest(digest, reinterpret_cast<const uint8_t*>("Passwort"), 8);
    block.SetKey(digest);
  }
  const TCipher::TBlock v = cipher.InitialVector();
  TCipher::TBlock ev;
  block.Encrypt(v.data(), ev.data());
  const std::string plain = "abcdefghijkl";
  for (size_t t = 1; t <= 11; ++t) {
    const std::string c = cipher.EncipherBytes(plain.substr(0, t));
    ASSERT_EQ(c.size(), t);
    for (size_t k = 0; k < t; ++k)
      EXPECT_EQ(static_cast<uint8_t>(c[k]), static_cast<uint8_t>(plain[k]) ^ ev[k]);
  }
  TCipher::TBlock x, expected;
  for (size_t k = 0; k < 12; ++k) x[k] = static_cast<uint8_t>(plain[k]) ^ v[k];
  block.Encrypt(x.data(), expected.data());
  EXPECT_EQ(cipher.EncipherBytes(plain), std::string(expected.begin(), expected.end()));
}

TEST(CipherTest, TextFormEmptyDeterministicAndRoundTrip) {
  const TCipher cipher(TCipherPurpose::Settings);
  EXPECT_EQ(cipher.EncipherText(""), "");
  EXPECT_EQ(cipher.DecipherText(""), "");
  const std::string text =
      "Gr\xFC\xDF"
      "e an alle Spieler \x80 100%";
  const std::string once = cipher.EncipherText(text);
  // Every message starts from V: the same text twice gives the same form,
  // also after other messages went through the same context.
  cipher.EncipherText("something else in between");
  EXPECT_EQ(cipher.EncipherText(text), once);
  EXPECT_EQ(once, Base64Encode(cipher.EncipherBytes(text)));
  EXPECT_EQ(cipher.DecipherText(once), text);
  const std::string longText = RandomBytes(9000, 3);
  EXPECT_EQ(cipher.DecipherText(cipher.EncipherText(longText)), longText);
}

TEST(CipherTest, DecipherTextIsLenient) {
  const TCipher cipher(TCipherPurpose::Settings);
  const std::string plain = "sixteen bytes!!!";  // 16 bytes: 22 Base64 characters and "=="
  const std::string b64 = cipher.EncipherText(plain);
  ASSERT_EQ(b64.size(), 24u);
  ASSERT_EQ(b64.substr(22), "==");
  EXPECT_EQ(cipher.DecipherText(b64.substr(0, 22)), plain);
  std::string noisy;
  for (char c : b64) noisy += std::string(1, c) + (c == '=' ? "" : " \r\n*");
  EXPECT_EQ(cipher.DecipherText(noisy), plain);
  EXPECT_EQ(cipher.DecipherText("!!!"), "");
}

TEST(CipherTest, WrongPassPhraseGivesOtherBytesWithoutFailing) {
  const std::string b64 = TCipher("richtig").EncipherText("geheimer Wert");
  const std::string other = TCipher("falsch").DecipherText(b64);
  EXPECT_EQ(other.size(), 13u);
  EXPECT_NE(other, "geheimer Wert");
}

TEST(CipherTest, StreamsUseTheirPositionsAndRefuseShortSources) {
  const TCipher cipher("Passwort");
  const std::string plain = RandomBytes(5000, 11);
  TMemoryStream source("HEAD" + plain + "TAIL");
  source.Seek(4);
  TMemoryStream destination("xy");
  destination.Seek(2);
  cipher.EncipherStream(source, destination, plain.size());
  EXPECT_EQ(source.Position(), 4 + plain.size());
  EXPECT_EQ(destination.Str(), "xy" + cipher.EncipherBytes(plain));

  TMemoryStream back;
  destination.Seek(2);
  cipher.DecipherStream(destination, back, plain.size());
  EXPECT_EQ(back.Str(), plain);

  TMemoryStream shortSource(plain.substr(0, 100)), untouched;
  EXPECT_THROW(cipher.EncipherStream(shortSource, untouched, 101), EStreamError);
  EXPECT_EQ(untouched.Size(), 0u);
}

TEST(CipherTest, PassPhrasesHaveTheirLengthsAndKeepPurposesApart) {
  const std::pair<TCipherPurpose, size_t> cases[] = {
      {TCipherPurpose::RemoteAdmin, 88},    {TCipherPurpose::SetupExport, 98},
      {TCipherPurpose::PlayerHistory, 131}, {TCipherPurpose::UpdateService, 126},
      {TCipherPurpose::Settings, 117},
  };
  std::vector<std::string> forms;
  for (const auto& [purpose, length] : cases) {
    const std::string_view phrase = PassPhrase(purpose);
    EXPECT_EQ(phrase.size(), length);
    int high = 0;
    for (const char ch : phrase) {
      const auto c = static_cast<uint8_t>(ch);
      EXPECT_TRUE((c >= 0x20 && c < 0x7F) || c >= 0xA1) << "unprintable byte " << int{c};
      high += c > 127;
    }
    EXPECT_GT(high, 0);
    const std::string form = EncipherText(purpose, "Kelvandrome");
    EXPECT_EQ(form, TCipher(phrase).EncipherText("Kelvandrome"));
    EXPECT_EQ(DecipherText(purpose, form), "Kelvandrome");
    EXPECT_EQ(&CipherFor(purpose), &CipherFor(purpose));
    forms.push_back(form);
  }
  std::sort(forms.begin(), forms.end());
  EXPECT_EQ(std::unique(forms.begin(), forms.end()), forms.end());
}

// The shared per-purpose contexts are used by many connection threads.
TEST(CipherTest, SharedContextIsSafeAcrossThreads) {
  const std::string plain = RandomBytes(5000, 5);
  const std::string expected = TCipher(TCipherPurpose::RemoteAdmin).EncipherBytes(plain);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        const TCipher& c = CipherFor(TCipherPurpose::RemoteAdmin);
        if (c.EncipherBytes(plain) != expected || c.DecipherBytes(expected) != plain) ++mismatches;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(Base64Test, EncodesTheStandardVectorsAndDecodesThemBack) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xFF\xFE\xFD", "//79"},
      {std::string("\0\x10", 2), "ABA="},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(Base64Encode(bytes), text);
    EXPECT_EQ(Base64Decode(text), bytes);
  }
  // Missing padding reads as if it were there; a lone last character holds
  // no whole byte; data ends at the first "=".
  EXPECT_EQ(Base64Decode("Zm9vYg"), "foob");
  EXPECT_EQ(Base64Decode("Zm9vYmE"), "fooba");
  EXPECT_EQ(Base64Decode("Zm9vY"), "foo");
  EXPECT_EQ(Base64Decode("Zg==Zm9v"), "f");
}

}  // namespace
}  // namespace kv
