#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "core/cp1252.h"
#include "formats/cipher.h"
#include "formats/digest.h"
#include "formats/lzhuf.h"
#include "tests/support/temp_home.h"
#include "tests/tools/kvtool_run.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

void ExpectOneLineError(const TRun& r) {
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("kvtool: ", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

const std::string kUmlauts =
    "Gr\xC3\xBC\xC3\x9F"
    "e";  // UTF-8 as typed on the command line
const std::string kUmlauts1252 =
    "Gr\xFC\xDF"
    "e";

std::string PassPhraseUtf8() { return Cp1252ToUtf8(std::string(PassPhrase(TCipherPurpose::Settings))); }

TEST(KvtoolCipherTest, LzhRoundTripAndDamage) {
  std::string plain;
  for (int i = 0; i < 500; ++i) plain += "Alice was sniped by Bob\n";
  const TRun packed = Kvtool({"lzh", "compress"}, plain);
  ASSERT_EQ(packed.rc, 0) << packed.err;
  EXPECT_LT(packed.out.size(), plain.size() / 10);
  const TRun back = Kvtool({"lzh", "decompress"}, packed.out);
  ASSERT_EQ(back.rc, 0) << back.err;
  EXPECT_EQ(back.out, plain);

  ExpectOneLineError(Kvtool({"lzh", "decompress"}, "abcd"));
  ExpectOneLineError(Kvtool({"lzh", "decompress", "--max-length", "100"}, packed.out));
  ExpectOneLineError(Kvtool({"lzh", "decompress", "--max-length", "lots"}, packed.out));
  ExpectOneLineError(Kvtool({"lzh", "squeeze"}));
}

TEST(KvtoolCipherTest, StreamsByPurposeAndByPassPhrase) {
  const std::string plain = std::string("binary \x00\x01\xFF data of some length, longer than one block", 53);
  const TRun enc = Kvtool({"cipher", "encipher", "--purpose", "history"}, plain);
  ASSERT_EQ(enc.rc, 0) << enc.err;
  EXPECT_EQ(enc.out, TCipher(TCipherPurpose::PlayerHistory).EncipherBytes(plain));
  const TRun dec = Kvtool({"cipher", "decipher", "--purpose", "history"}, enc.out);
  EXPECT_EQ(dec.out, plain);

  // The pass phrase is keyed on its Windows-1252 bytes.
  const TRun byPhrase = Kvtool({"cipher", "encipher", "--passphrase", kUmlauts}, plain);
  ASSERT_EQ(byPhrase.rc, 0) << byPhrase.err;
  EXPECT_EQ(byPhrase.out, TCipher(kUmlauts1252).EncipherBytes(plain));
}

TEST(KvtoolCipherTest, TextsConvertBetweenUtf8AndWindows1252) {
  const TRun enc = Kvtool({"cipher", "encipher-text", "--purpose", "settings", kUmlauts});
  ASSERT_EQ(enc.rc, 0) << enc.err;
  EXPECT_EQ(enc.out, EncipherText(TCipherPurpose::Settings, kUmlauts1252) + "\n");
  const std::string form = enc.out.substr(0, enc.out.size() - 1);
  const TRun dec = Kvtool({"cipher", "decipher-text", "--purpose", "settings", form});
  EXPECT_EQ(dec.out, kUmlauts + "\n");
  const TRun byPhrase = Kvtool({"cipher", "decipher-text", "--passphrase", PassPhraseUtf8(), form});
  EXPECT_EQ(byPhrase.out, kUmlauts + "\n");
  const TRun dashed = Kvtool({"cipher", "encipher-text", "--passphrase", "x", "--", "--purpose"});
  EXPECT_EQ(dashed.out, TCipher("x").EncipherText("--purpose") + "\n");
}

// Fixed forms from a separate derivation (see the cipher's golden texts):
// the tool must give exactly what the system stores and sends.
TEST(KvtoolCipherTest, GoldenForms) {
  EXPECT_EQ(Kvtool({"cipher", "encipher-text", "--passphrase", "Kelvandrome", "Hello"}).out, "NfvOqWU=\n");
  EXPECT_EQ(Kvtool({"cipher", "encipher-text", "--purpose", "settings", "Hello"}).out, "L3Tn8AQ=\n");
  EXPECT_EQ(Kvtool({"cipher", "decipher-text", "--purpose", "export", "zo73aBM="}).out, "Hello\n");
  EXPECT_EQ(Kvtool({"cipher", "encipher", "--purpose", "remote"}, "Hello").out, "\xD0\x54\xC4\x7F\x87");
  EXPECT_EQ(Kvtool({"cipher", "decipher", "--purpose", "history"}, "\x93\x40\x4D\x8D\x34").out, "Hello");
}

TEST(KvtoolCipherTest, Md5OfWindows1252Bytes) {
  const TRun r = Kvtool({"md5", kUmlauts});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "2C987648C54E9054BF8C8C916B17D5C0\n");
}

TEST(KvtoolCipherTest, BadArgumentsGiveOneLineErrors) {
  const TArgs cases[] = {
      {"cipher"},
      {"cipher", "encipher"},
      {"cipher", "scramble", "--purpose", "settings"},
      {"cipher", "encipher", "--purpose", "mail"},
      {"cipher", "encipher", "--purpose", "settings", "--passphrase", "x"},
      {"cipher", "encipher", "--purpose"},
      {"cipher", "encipher", "--purpose", "settings", "extra"},
      {"cipher", "encipher-text", "--purpose", "settings"},
      {"cipher", "decipher-text", "--purpose", "settings", "a", "b"},
      {"md5"},
      {"md5", "a", "b"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.size() > 1 ? args[1] : args[0]);
    ExpectOneLineError(Kvtool(args));
  }
}

// The real binary, through the shell: standard input to standard output.
TEST(KvtoolCipherTest, BinaryPipesStdinToStdout) {
  const std::string tool = std::string(KV_BINARY_DIR) + "/tools/kvtool";
  const kv::testing::TTempHome dir("kvtool-pipe");
  const std::string in = (dir / "in.txt").string(), out = (dir / "out.txt").string();
  std::string plain;
  for (int i = 0; i < 2000; ++i) plain += "[GER]Wolf: gg " + std::to_string(i) + "\n";
  std::ofstream(in, std::ios::binary) << plain;
  const std::string cmd = "timeout 60 " + tool + " lzh compress < " + in + " | timeout 60 " + tool +
                          " cipher encipher --purpose remote | timeout 60 " + tool +
                          " cipher decipher --purpose remote | timeout 60 " + tool + " lzh decompress > " +
                          out;
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream f(out, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), {}), plain);

  const std::string bad = "printf 'abcd' | timeout 60 " + tool + " lzh decompress > /dev/null 2>&1";
  EXPECT_EQ(WEXITSTATUS(std::system(bad.c_str())), 1);
}

}  // namespace
}  // namespace kv::tool
