// Fuzz target for the LZHUF codec (needs kvcore). Arbitrary bytes must never
// crash the decoder or make it run past its limits, and whatever the encoder
// is given must come back unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/lzhuf.h"

namespace {

constexpr uint64_t kCap = 1 << 20;

uint32_t Trailer(const std::string& bytes) {
  const size_t e = bytes.size() - 4;
  return static_cast<uint32_t>(static_cast<uint8_t>(bytes[e]) | static_cast<uint8_t>(bytes[e + 1]) << 8 |
                               static_cast<uint8_t>(bytes[e + 2]) << 16 |
                               static_cast<uint32_t>(static_cast<uint8_t>(bytes[e + 3])) << 24);
}

void DecodeArbitrary(const std::string& input) {
  kv::TMemoryStream source(input), destination;
  if (!kv::DecompressStream(source, destination, kCap)) {
    if (destination.Size() != 0) __builtin_trap();  // failure writes nothing
    return;
  }
  // Success needs a length within the cap; a last match may overrun it by
  // up to 59 bytes.
  const uint64_t announced = Trailer(input);
  if (announced > kCap || destination.Size() < announced || destination.Size() > announced + 59)
    __builtin_trap();
}

void RoundTrip(const std::string& input) {
  kv::TMemoryStream source(input), packed, back;
  if (!kv::CompressStream(source, packed)) __builtin_trap();
  if (input.empty()) {
    if (packed.Str() != std::string(4, '\0')) __builtin_trap();
    return;
  }
  if (!kv::DecompressStream(packed, back, input.size()) || back.Str() != input) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  DecodeArbitrary(input);
  RoundTrip(input);
  return 0;
}
