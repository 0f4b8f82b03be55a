// LZHUF compression and decompression throughput on a megabyte of game log
// lines (what packet bodies mostly carry) and on a megabyte of random bytes
// (the worst case).
#include <benchmark/benchmark.h>

#include <random>

#include "core/lzhuf.h"

namespace {

constexpr size_t kSize = 1 << 20;

std::string GameLog() {
  static const char* kNames[] = {"Alice",        "Bob",      "[GER]Wolf", "Sgt.Pepper",
                                 "xX_Sniper_Xx", "Kowalski", "Dupont"};
  static const char* kKills[] = {"was sniped by", "was shot by",        "was blown up by",
                                 "was bashed by", "was gunned down by", "took a grenade from"};
  static const char* kChat[] = {"gg",     "nice shot", "rush B", "who is camping the bridge?",
                                "lag...", "!STATS"};
  std::mt19937 rng(1);
  std::string s;
  while (s.size() < kSize) {
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
  s.resize(kSize);
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

}  // namespace
