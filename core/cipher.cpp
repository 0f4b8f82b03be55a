#include "core/cipher.h"

#include <crypto++/ripemd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "core/base64.h"

namespace kv {
namespace {

// The system takes a block as three little-endian words in order; the block
// cipher reads big-endian words in reverse order. Both views agree once all
// twelve bytes are reversed. in and out may be the same block.
inline void Reverse12(const uint8_t* in, uint8_t* out) {
  uint32_t w0, w1, w2;
  std::memcpy(&w0, in, 4);
  std::memcpy(&w1, in + 4, 4);
  std::memcpy(&w2, in + 8, 4);
  w0 = __builtin_bswap32(w0);
  w1 = __builtin_bswap32(w1);
  w2 = __builtin_bswap32(w2);
  std::memcpy(out, &w2, 4);
  std::memcpy(out + 4, &w1, 4);
  std::memcpy(out + 8, &w0, 4);
}

inline void XorInto(uint8_t* target, const uint8_t* with) {
  for (size_t k = 0; k < TCipher::kBlockSize; ++k) target[k] ^= with[k];
}

}  // namespace

void TThreeWay::SetKey(const uint8_t* key) {
  uint8_t reversed[kBlockSize];
  Reverse12(key, reversed);
  encryption_.SetKey(reversed, kBlockSize);
  decryption_.SetKey(reversed, kBlockSize);
}

void TThreeWay::Encrypt(const uint8_t* in, uint8_t* out) const {
  uint8_t block[kBlockSize];
  Reverse12(in, block);
  encryption_.ProcessBlock(block);
  Reverse12(block, out);
}

void TThreeWay::Decrypt(const uint8_t* in, uint8_t* out) const {
  uint8_t block[kBlockSize];
  Reverse12(in, block);
  decryption_.ProcessBlock(block);
  Reverse12(block, out);
}

void TCipher::InitKey(std::string_view passPhrase) {
  CryptoPP::RIPEMD256 hash;
  uint8_t digest[CryptoPP::RIPEMD256::DIGESTSIZE];
  hash.CalculateDigest(digest, reinterpret_cast<const uint8_t*>(passPhrase.data()), passPhrase.size());
  // The key is as long as the smaller of digest and cipher key: 12 bytes.
  cipher_.SetKey(digest);
  vector_.fill(0xFF);
  cipher_.Encrypt(vector_.data(), vector_.data());
}

void TCipher::TailStep(uint8_t* data, size_t n, TBlock& feedback) const {
  TBlock b;
  cipher_.Encrypt(feedback.data(), b.data());
  for (size_t k = 0; k < n; ++k) data[k] ^= b[k];
  XorInto(feedback.data(), b.data());
}

void TCipher::EncipherChunk(uint8_t* data, size_t n, TBlock& feedback) const {
  size_t i = 0;
  for (; i + kBlockSize <= n; i += kBlockSize) {
    uint8_t* block = data + i;
    XorInto(block, feedback.data());
    cipher_.Encrypt(block, block);
    XorInto(feedback.data(), block);
  }
  if (i < n) TailStep(data + i, n - i, feedback);
}

void TCipher::DecipherChunk(uint8_t* data, size_t n, TBlock& feedback) const {
  size_t i = 0;
  for (; i + kBlockSize <= n; i += kBlockSize) {
    uint8_t* block = data + i;
    TBlock c;
    std::memcpy(c.data(), block, kBlockSize);
    cipher_.Decrypt(block, block);
    XorInto(block, feedback.data());
    XorInto(feedback.data(), c.data());
  }
  if (i < n) TailStep(data + i, n - i, feedback);
}

void TCipher::Process(TStream& source, TStream& destination, uint64_t count, bool encipher) const {
  if (count > source.Remaining()) throw EStreamError("Stream-Lesefehler");
  uint8_t buffer[kChunkSize];
  TBlock feedback = vector_;
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
  TBlock feedback = vector_;
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
