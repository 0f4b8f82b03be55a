// The cipher service: 3-Way keyed from a pass phrase, in the chained mode
// that keeps the length of the data, with a Base64 text form. Settings,
// exports, the player history, the update list and every remote
// administration packet go through it, so the framing here is what existing
// files and peers depend on.
#pragma once

#include <crypto++/3way.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/stream.h"

namespace kv {

// One built-in pass phrase per purpose keeps the kinds of data apart: a file
// of one kind cannot be read as another.
enum class TCipherPurpose {
  RemoteAdmin,    // remote administration packets and the account file
  SetupExport,    // the setup export file
  PlayerHistory,  // the player history store
  UpdateService,  // the update service's version list
  Settings,       // enciphered INI values and the player-history export file
};

// The built-in pass phrase of a purpose (Windows-1252 bytes).
std::string_view PassPhrase(TCipherPurpose purpose);

// The bare 3-Way block cipher in the system's byte order: a block and the
// key are three little-endian 32-bit words in order, bytes 0-3 being word
// a[0] of the published reference code. The library reads big-endian words
// in the same order, so the bytes of each word are swapped on the way in and
// out and the words stay where they are. This is the only place that talks
// to the library's 3-Way: everything enciphered goes through TCipher.
class TThreeWay {
 public:
  static constexpr size_t kBlockSize = 12;
  void SetKey(const uint8_t* key);  // 12 bytes
  // in and out may be the same block.
  void Encrypt(const uint8_t* in, uint8_t* out) const;
  void Decrypt(const uint8_t* in, uint8_t* out) const;

 private:
  friend class TCipher;  // runs its chained mode on the library objects directly
  CryptoPP::ThreeWay::Encryption encryption_;
  CryptoPP::ThreeWay::Decryption decryption_;
};

// A keyed cipher context. Every call is one message: it starts from the
// initial vector and never leaves state behind, so after InitKey the
// const operations may run on any number of threads at once. InitKey itself
// must not race with them.
class TCipher {
 public:
  static constexpr size_t kBlockSize = TThreeWay::kBlockSize;
  // Streams are enciphered in chunks of this size with the feedback carried
  // across; since 4096 is not a multiple of 12 every full chunk ends with a
  // tail step. Both directions must chunk alike.
  static constexpr size_t kChunkSize = 4096;
  using TBlock = std::array<uint8_t, kBlockSize>;

  explicit TCipher(std::string_view passPhrase) { InitKey(passPhrase); }
  explicit TCipher(TCipherPurpose purpose) : TCipher(PassPhrase(purpose)) {}

  // Key := first 12 bytes of RIPEMD-256(pass phrase); V := E(FF x 12).
  void InitKey(std::string_view passPhrase);

  // Reads count bytes from the source's position and writes as many to the
  // destination's position. Throws EStreamError ("Stream-Lesefehler") before
  // writing anything when the source holds fewer than count bytes.
  void EncipherStream(TStream& source, TStream& destination, uint64_t count) const;
  void DecipherStream(TStream& source, TStream& destination, uint64_t count) const;

  // The same on bytes in memory: the result is as long as the input.
  std::string EncipherBytes(std::string_view plain) const;
  std::string DecipherBytes(std::string_view cipher) const;

  // Text form: the enciphered bytes of the text as Base64. DecipherText
  // never fails on its input (see Base64Decode); a wrong pass phrase yields
  // other bytes, which the caller's own checks reject.
  std::string EncipherText(std::string_view text) const;
  std::string DecipherText(std::string_view base64) const;

  // The initial vector V in the system's byte order.
  TBlock InitialVector() const;

 private:
  // A block as the library sees it: the bytes of each word swapped, held as
  // words so the hot loop swaps and combines a block in a few instructions.
  using TWords = std::array<uint32_t, 3>;

  // One chunk of at most kChunkSize bytes, in place, with the running
  // feedback register.
  void EncipherChunk(uint8_t* data, size_t n, TWords& feedback) const;
  void DecipherChunk(uint8_t* data, size_t n, TWords& feedback) const;
  void TailStep(uint8_t* data, size_t n, TWords& feedback) const;
  void Process(TStream& source, TStream& destination, uint64_t count, bool encipher) const;
  std::string ProcessBytes(std::string_view in, bool encipher) const;

  TThreeWay cipher_;
  TWords vector_{};  // V, in the library's view
};

// A shared context per purpose, keyed on first use. Safe from any thread.
const TCipher& CipherFor(TCipherPurpose purpose);

inline std::string EncipherText(TCipherPurpose purpose, std::string_view text) {
  return CipherFor(purpose).EncipherText(text);
}
inline std::string DecipherText(TCipherPurpose purpose, std::string_view base64) {
  return CipherFor(purpose).DecipherText(base64);
}
inline void EncipherStream(TCipherPurpose purpose, TStream& source, TStream& destination, uint64_t count) {
  CipherFor(purpose).EncipherStream(source, destination, count);
}
inline void DecipherStream(TCipherPurpose purpose, TStream& source, TStream& destination, uint64_t count) {
  CipherFor(purpose).DecipherStream(source, destination, count);
}

}  // namespace kv
