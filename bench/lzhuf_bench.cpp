// LZHUF compression and decompression throughput on a megabyte of game log
// lines (what packet bodies mostly carry) and on a megabyte of random bytes
// (the worst case); decompression also on 16 MiB of game log against the
// classic 1988 C decoder of the same format, the yardstick for ours.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <random>

#include "formats/lzhuf.h"

namespace {

constexpr size_t kSize = 1 << 20;

std::string GameLog(size_t size = kSize) {
  static const char* kNames[] = {"Alice",        "Bob",      "[GER]Wolf", "Sgt.Pepper",
                                 "xX_Sniper_Xx", "Kowalski", "Dupont"};
  static const char* kKills[] = {"was sniped by", "was shot by",        "was blown up by",
                                 "was bashed by", "was gunned down by", "took a grenade from"};
  static const char* kChat[] = {"gg",     "nice shot", "rush B", "who is camping the bridge?",
                                "lag...", "!STATS"};
  std::mt19937 rng(1);
  std::string s;
  while (s.size() < size) {
    const std::string a = kNames[rng() % 7], b = kNames[rng() % 7];
    switch (rng() % 4) {
      case 0:
      case 1: s += a + " " + kKills[rng() % 6] + " " + b + "\n"; break;
      case 2: s += a + ": " + kChat[rng() % 6] + "\n"; break;
      default:
        s += a + " has joined the " + (rng() % 2 ? "Allies" : "Axis") + " (" + std::to_string(rng() % 300) +
             " ms)\n";
    }
  }
  s.resize(size);
  return s;
}

std::string Random() {
  std::mt19937 rng(2);
  std::string s(kSize, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

void Compress(benchmark::State& state, const std::string& input) {
  kv::TMemoryStream source(input);
  size_t packed = 0;
  for (auto _ : state) {
    kv::TMemoryStream destination;
    if (!kv::CompressStream(source, destination)) state.SkipWithError("compression failed");
    packed = destination.Size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
  state.counters["packed%"] = 100.0 * static_cast<double>(packed) / kSize;
}

void Decompress(benchmark::State& state, const std::string& input) {
  kv::TMemoryStream plain(input), packed;
  kv::CompressStream(plain, packed);
  for (auto _ : state) {
    kv::TMemoryStream destination;
    if (!kv::DecompressStream(packed, destination)) state.SkipWithError("decompression failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_LzhCompressGameLog(benchmark::State& state) { Compress(state, GameLog()); }
void BM_LzhCompressRandom(benchmark::State& state) { Compress(state, Random()); }
void BM_LzhDecompressGameLog(benchmark::State& state) { Decompress(state, GameLog()); }
void BM_LzhDecompressRandom(benchmark::State& state) { Decompress(state, Random()); }
BENCHMARK(BM_LzhCompressGameLog)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LzhCompressRandom)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LzhDecompressGameLog)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LzhDecompressRandom)->Unit(benchmark::kMillisecond);

// The classic decoder, as published in 1988 (LZHUF.C), kept C-style: global
// tables, getc/putc replaced by a memory source and a malloc'ed buffer. Its
// length comes from the trailer here instead of a header.
namespace classic {

constexpr int N = 4096, F = 60, THRESHOLD = 2;
constexpr int N_CHAR = 256 - THRESHOLD + F, T = N_CHAR * 2 - 1, R = T - 1;
constexpr unsigned MAX_FREQ = 0x8000;

unsigned char text_buf[N + F - 1];
unsigned freq[T + 1];
int prnt[T + N_CHAR];
int son[T];
unsigned char d_code[256], d_len[256];
const unsigned char* in_ptr;
const unsigned char* in_end;
unsigned getbuf;
unsigned char getlen;

void MakeTables() {  // the printed tables, generated: 32 codes of 3 bits, 48 of 4, ...
  static const int kLen[] = {3, 4, 5, 6, 7, 8}, kCodes[] = {1, 3, 8, 12, 24, 16};
  int i = 0, code = 0;
  for (int g = 0; g < 6; g++)
    for (int k = 0; k < kCodes[g]; k++, code++)
      for (int r = 0; r < 1 << (8 - kLen[g]); r++, i++) d_code[i] = code, d_len[i] = kLen[g];
}

int getc_() { return in_ptr < in_end ? *in_ptr++ : -1; }

int GetBit() {
  int i;
  while (getlen <= 8) {
    if ((i = getc_()) < 0) i = 0;
    getbuf |= i << (8 - getlen);
    getlen += 8;
  }
  i = getbuf;
  getbuf <<= 1;
  getlen--;
  return (i & 0x8000) >> 15;
}

int GetByte() {
  int i;
  while (getlen <= 8) {
    if ((i = getc_()) < 0) i = 0;
    getbuf |= i << (8 - getlen);
    getlen += 8;
  }
  i = getbuf;
  getbuf <<= 8;
  getlen -= 8;
  return (i & 0xff00) >> 8;
}

void StartHuff() {
  int i, j;
  for (i = 0; i < N_CHAR; i++) {
    freq[i] = 1;
    son[i] = i + T;
    prnt[i + T] = i;
  }
  i = 0;
  j = N_CHAR;
  while (j <= R) {
    freq[j] = freq[i] + freq[i + 1];
    son[j] = i;
    prnt[i] = prnt[i + 1] = j;
    i += 2;
    j++;
  }
  freq[T] = 0xffff;
  prnt[R] = 0;
}

void reconst() {
  int i, j, k;
  unsigned f;
  j = 0;
  for (i = 0; i < T; i++) {
    if (son[i] >= T) {
      freq[j] = (freq[i] + 1) / 2;
      son[j] = son[i];
      j++;
    }
  }
  for (i = 0, j = N_CHAR; j < T; i += 2, j++) {
    k = i + 1;
    f = freq[j] = freq[i] + freq[k];
    for (k = j - 1; f < freq[k]; k--) {
    }
    k++;
    memmove(&freq[k + 1], &freq[k], (j - k) * sizeof freq[0]);
    freq[k] = f;
    memmove(&son[k + 1], &son[k], (j - k) * sizeof son[0]);
    son[k] = i;
  }
  for (i = 0; i < T; i++) {
    if ((k = son[i]) >= T) {
      prnt[k] = i;
    } else {
      prnt[k] = prnt[k + 1] = i;
    }
  }
}

void update(int c) {
  int i, j, l;
  unsigned k;
  if (freq[R] == MAX_FREQ) reconst();
  c = prnt[c + T];
  do {
    k = ++freq[c];
    if (k > freq[l = c + 1]) {
      while (k > freq[++l]) {
      }
      l--;
      freq[c] = freq[l];
      freq[l] = k;
      i = son[c];
      prnt[i] = l;
      if (i < T) prnt[i + 1] = l;
      j = son[l];
      son[l] = i;
      prnt[j] = c;
      if (j < T) prnt[j + 1] = c;
      son[c] = j;
      c = l;
    }
  } while ((c = prnt[c]) != 0);
}

int DecodeChar() {
  unsigned c = son[R];
  while (c < T) {
    c += GetBit();
    c = son[c];
  }
  c -= T;
  update(c);
  return c;
}

int DecodePosition() {
  unsigned i, j, c;
  i = GetByte();
  c = (unsigned)d_code[i] << 6;
  j = d_len[i];
  j -= 2;
  while (j--) i = (i << 1) + GetBit();
  return c | (i & 0x3f);
}

// Returns a malloc'ed buffer of textsize (+ a last match's overhang) bytes.
unsigned char* Decode(const unsigned char* in, size_t size, unsigned long& textsize) {
  int i, j, k, r, c;
  unsigned long count;
  textsize = in[size - 4] | in[size - 3] << 8 | in[size - 2] << 16 | (unsigned long)in[size - 1] << 24;
  unsigned char* out = (unsigned char*)malloc(textsize + F);
  in_ptr = in;
  in_end = in + size - 4;
  getbuf = 0;
  getlen = 0;
  StartHuff();
  for (i = 0; i < N - F; i++) text_buf[i] = ' ';
  r = N - F;
  for (count = 0; count < textsize;) {
    c = DecodeChar();
    if (c < 256) {
      out[count++] = c;
      text_buf[r++] = c;
      r &= (N - 1);
    } else {
      i = (r - DecodePosition() - 1) & (N - 1);
      j = c - 255 + THRESHOLD;
      for (k = 0; k < j; k++) {
        c = text_buf[(i + k) & (N - 1)];
        out[count++] = c;
        text_buf[r++] = c;
        r &= (N - 1);
      }
    }
  }
  return out;
}

}  // namespace classic

constexpr size_t kBigSize = 16u << 20;

// Compressing 16 MiB takes a while; every benchmark below shares one copy.
const std::string& BigGameLog() {
  static const std::string s = GameLog(kBigSize);
  return s;
}
const std::string& BigGameLogPacked() {
  static const std::string packed = [] {
    kv::TMemoryStream plain(BigGameLog()), out;
    kv::CompressStream(plain, out);
    return out.Str();
  }();
  return packed;
}

// Both decoders are checked once, outside the timing, and then timed on the
// same input, each producing a fresh output buffer per iteration.
void BM_LzhDecompressGameLog16M(benchmark::State& state) {
  kv::TMemoryStream packed(BigGameLogPacked());
  {
    kv::TMemoryStream check;
    if (!kv::DecompressStream(packed, check) || check.Str() != BigGameLog())
      state.SkipWithError("wrong output");
  }
  for (auto _ : state) {
    kv::TMemoryStream destination;
    if (!kv::DecompressStream(packed, destination)) state.SkipWithError("decompression failed");
    benchmark::DoNotOptimize(destination.Bytes().data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigSize));
}
BENCHMARK(BM_LzhDecompressGameLog16M)->Unit(benchmark::kMillisecond);

void BM_LzhClassicDecompressGameLog16M(benchmark::State& state) {
  const auto* packed = reinterpret_cast<const unsigned char*>(BigGameLogPacked().data());
  const size_t size = BigGameLogPacked().size();
  classic::MakeTables();
  {
    unsigned long n;
    unsigned char* out = classic::Decode(packed, size, n);
    if (n != kBigSize || std::memcmp(out, BigGameLog().data(), n) != 0) state.SkipWithError("wrong output");
    free(out);
  }
  for (auto _ : state) {
    unsigned long n;
    unsigned char* out = classic::Decode(packed, size, n);
    benchmark::DoNotOptimize(out);
    free(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigSize));
}
BENCHMARK(BM_LzhClassicDecompressGameLog16M)->Unit(benchmark::kMillisecond);

}  // namespace
