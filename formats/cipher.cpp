#include "formats/cipher.h"

#include <crypto++/ripemd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "formats/base64.h"

namespace kv {
namespace {

// The system takes a block (and the key) as three little-endian 32-bit words
// in order; the block cipher reads three big-endian words in order. Both
// views agree once the four bytes of each word are swapped, the words staying
// in place. in and out may be the same block.
inline void SwapWords12(const uint8_t* in, uint8_t* out) {
  for (int i = 0; i < 12; i += 4) {
    uint32_t w;
    std::memcpy(&w, in + i, 4);
    w = __builtin_bswap32(w);
    std::memcpy(out + i, &w, 4);
  }
}

static_assert(std::endian::native == std::endian::little, "the word views below assume a little-endian host");

// The library's view of a block stored in the system's order at p, as words.
// Word by word on purpose: a wide access over narrower ones just written
// stalls store forwarding, and the library reads and writes 32-bit words.
inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline void Store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

inline void LoadSwapped(const uint8_t* p, uint32_t* w) {
  w[0] = __builtin_bswap32(Load32(p));
  w[1] = __builtin_bswap32(Load32(p + 4));
  w[2] = __builtin_bswap32(Load32(p + 8));
}

inline void StoreSwapped(uint32_t w0, uint32_t w1, uint32_t w2, uint8_t* p) {
  Store32(p, __builtin_bswap32(w0));
  Store32(p + 4, __builtin_bswap32(w1));
  Store32(p + 8, __builtin_bswap32(w2));
}

inline void StoreSwapped(const uint32_t* w, uint8_t* p) { StoreSwapped(w[0], w[1], w[2], p); }

// Takes the three words the library has just written, one 32-bit load each:
// without the barrier the compiler may merge two of them into one wider load,
// which cannot be forwarded from the library's narrower stores and stalls.
inline void TakeWords(const uint32_t* w, uint32_t& a, uint32_t& b, uint32_t& c) {
  a = w[0];
  b = w[1];
  c = w[2];
  asm("" : "+r"(a), "+r"(b), "+r"(c));
}

inline const uint8_t* Bytes(const uint32_t* w) { return reinterpret_cast<const uint8_t*>(w); }
inline uint8_t* Bytes(uint32_t* w) { return reinterpret_cast<uint8_t*>(w); }

}  // namespace

void TThreeWay::SetKey(const uint8_t* key) {
  uint8_t swapped[kBlockSize];
  SwapWords12(key, swapped);
  encryption_.SetKey(swapped, kBlockSize);
  decryption_.SetKey(swapped, kBlockSize);
}

void TThreeWay::Encrypt(const uint8_t* in, uint8_t* out) const {
  uint8_t block[kBlockSize];
  SwapWords12(in, block);
  encryption_.ProcessBlock(block);
  SwapWords12(block, out);
}

void TThreeWay::Decrypt(const uint8_t* in, uint8_t* out) const {
  uint8_t block[kBlockSize];
  SwapWords12(in, block);
  decryption_.ProcessBlock(block);
  SwapWords12(block, out);
}

void TCipher::InitKey(std::string_view passPhrase) {
  CryptoPP::RIPEMD256 hash;
  uint8_t digest[CryptoPP::RIPEMD256::DIGESTSIZE];
  hash.CalculateDigest(digest, reinterpret_cast<const uint8_t*>(passPhrase.data()), passPhrase.size());
  // The key is as long as the smaller of digest and cipher key: 12 bytes.
  cipher_.SetKey(digest);
  TBlock v;
  v.fill(0xFF);
  cipher_.Encrypt(v.data(), v.data());
  LoadSwapped(v.data(), vector_.data());
}

TCipher::TBlock TCipher::InitialVector() const {
  TBlock v;
  StoreSwapped(vector_.data(), v.data());
  return v;
}

// B := E(F); the tail is xored with the first n bytes of B; F := B xor F.
void TCipher::TailStep(uint8_t* data, size_t n, TWords& feedback) const {
  uint32_t b[3];
  cipher_.encryption_.ProcessBlock(Bytes(feedback.data()), Bytes(b));
  uint8_t key[kBlockSize];
  StoreSwapped(b, key);
  for (size_t k = 0; k < n; ++k) data[k] ^= key[k];
  for (int k = 0; k < 3; ++k) feedback[k] ^= b[k];
}

// C := E(P xor F); F := C xor F. The register lives in locals during the
// loop: the data pointer may alias anything, which would otherwise force it
// through memory on every block.
void TCipher::EncipherChunk(uint8_t* data, size_t n, TWords& feedback) const {
  const auto& e = cipher_.encryption_;
  uint32_t f0 = feedback[0], f1 = feedback[1], f2 = feedback[2];
  size_t i = 0;
  for (; i + kBlockSize <= n; i += kBlockSize) {
    uint32_t x[3], c[3];
    LoadSwapped(data + i, x);
    x[0] ^= f0;
    x[1] ^= f1;
    x[2] ^= f2;
    e.ProcessBlock(Bytes(x), Bytes(c));
    uint32_t c0, c1, c2;
    TakeWords(c, c0, c1, c2);
    f0 ^= c0;
    f1 ^= c1;
    f2 ^= c2;
    StoreSwapped(c0, c1, c2, data + i);
  }
  feedback = {f0, f1, f2};
  if (i < n) TailStep(data + i, n - i, feedback);
}

// P := D(C) xor F; F := C xor F.
void TCipher::DecipherChunk(uint8_t* data, size_t n, TWords& feedback) const {
  const auto& d = cipher_.decryption_;
  uint32_t f0 = feedback[0], f1 = feedback[1], f2 = feedback[2];
  size_t i = 0;
  for (; i + kBlockSize <= n; i += kBlockSize) {
    const uint32_t c0 = __builtin_bswap32(Load32(data + i));
    const uint32_t c1 = __builtin_bswap32(Load32(data + i + 4));
    const uint32_t c2 = __builtin_bswap32(Load32(data + i + 8));
    const uint32_t c[3] = {c0, c1, c2};
    uint32_t p[3];
    d.ProcessBlock(Bytes(c), Bytes(p));
    uint32_t p0, p1, p2;
    TakeWords(p, p0, p1, p2);
    StoreSwapped(p0 ^ f0, p1 ^ f1, p2 ^ f2, data + i);
    f0 ^= c0;
    f1 ^= c1;
    f2 ^= c2;
  }
  feedback = {f0, f1, f2};
  if (i < n) TailStep(data + i, n - i, feedback);
}

void TCipher::Process(TStream& source, TStream& destination, uint64_t count, bool encipher) const {
  if (count > source.Remaining()) throw EStreamError("Stream-Lesefehler");
  uint8_t buffer[kChunkSize];
  TWords feedback = vector_;
  while (count > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, kChunkSize));
    source.ReadBuffer(buffer, n);
    if (encipher) {
      EncipherChunk(buffer, n, feedback);
    } else {
      DecipherChunk(buffer, n, feedback);
    }
    destination.Write(buffer, n);
    count -= n;
  }
}

std::string TCipher::ProcessBytes(std::string_view in, bool encipher) const {
  std::string out(in);
  auto* data = reinterpret_cast<uint8_t*>(out.data());
  TWords feedback = vector_;
  for (size_t pos = 0; pos < out.size(); pos += kChunkSize) {
    const size_t n = std::min(kChunkSize, out.size() - pos);
    if (encipher) {
      EncipherChunk(data + pos, n, feedback);
    } else {
      DecipherChunk(data + pos, n, feedback);
    }
  }
  return out;
}

void TCipher::EncipherStream(TStream& source, TStream& destination, uint64_t count) const {
  Process(source, destination, count, true);
}

void TCipher::DecipherStream(TStream& source, TStream& destination, uint64_t count) const {
  Process(source, destination, count, false);
}

std::string TCipher::EncipherBytes(std::string_view plain) const { return ProcessBytes(plain, true); }

std::string TCipher::DecipherBytes(std::string_view cipher) const { return ProcessBytes(cipher, false); }

std::string TCipher::EncipherText(std::string_view text) const { return Base64Encode(EncipherBytes(text)); }

std::string TCipher::DecipherText(std::string_view base64) const {
  return DecipherBytes(Base64Decode(base64));
}

const TCipher& CipherFor(TCipherPurpose purpose) {
  // Keyed lazily, once per purpose; the contexts are never changed after.
  switch (purpose) {
    case TCipherPurpose::RemoteAdmin: {
      static const TCipher c(purpose);
      return c;
    }
    case TCipherPurpose::SetupExport: {
      static const TCipher c(purpose);
      return c;
    }
    case TCipherPurpose::PlayerHistory: {
      static const TCipher c(purpose);
      return c;
    }
    case TCipherPurpose::UpdateService: {
      static const TCipher c(purpose);
      return c;
    }
    case TCipherPurpose::Settings: {
      static const TCipher c(purpose);
      return c;
    }
  }
  throw std::invalid_argument("unknown cipher purpose");
}

}  // namespace kv
