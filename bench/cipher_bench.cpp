// 3-Way stream encipherment with the system's framing (chunks, chained
// feedback, byte-order adapter) against bare library block encryption of
// the same bytes: the framing must cost little.
#include <benchmark/benchmark.h>
#include <crypto++/3way.h>

#include <random>

#include "formats/cipher.h"

namespace {

constexpr size_t kSize = 1 << 20;

std::string Payload() {
  std::mt19937 rng(42);
  std::string s(kSize, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

void BM_CipherEncipherStream(benchmark::State& state) {
  const kv::TCipher cipher(kv::TCipherPurpose::RemoteAdmin);
  kv::TMemoryStream source(Payload()), destination;
  for (auto _ : state) {
    source.Seek(0);
    destination.Seek(0);
    cipher.EncipherStream(source, destination, kSize);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}
BENCHMARK(BM_CipherEncipherStream);

void BM_CipherDecipherStream(benchmark::State& state) {
  const kv::TCipher cipher(kv::TCipherPurpose::RemoteAdmin);
  kv::TMemoryStream source(Payload()), destination;
  for (auto _ : state) {
    source.Seek(0);
    destination.Seek(0);
    cipher.DecipherStream(source, destination, kSize);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}
BENCHMARK(BM_CipherDecipherStream);

// The yardsticks: the library's block operations over the same megabyte,
// block after block, with nothing around them. Decryption is slower than
// encryption in the library itself, so each direction has its own.
template <class TDirection>
void RawBlocks(benchmark::State& state) {
  const uint8_t key[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  TDirection cipher(key, sizeof key);
  const std::string in = Payload();
  std::string out(kSize, '\0');
  const auto* src = reinterpret_cast<const uint8_t*>(in.data());
  auto* dst = reinterpret_cast<uint8_t*>(out.data());
  for (auto _ : state) {
    for (size_t i = 0; i + 12 <= kSize; i += 12) cipher.ProcessBlock(src + i, dst + i);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSize));
}

void BM_ThreeWayRawEncryptBlocks(benchmark::State& state) {
  RawBlocks<CryptoPP::ThreeWay::Encryption>(state);
}
BENCHMARK(BM_ThreeWayRawEncryptBlocks);

void BM_ThreeWayRawDecryptBlocks(benchmark::State& state) {
  RawBlocks<CryptoPP::ThreeWay::Decryption>(state);
}
BENCHMARK(BM_ThreeWayRawDecryptBlocks);

}  // namespace
