#include "formats/digest.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <crypto++/md5.h>

#include <cstdint>

namespace kv {

std::string DigestText(std::string_view text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  uint8_t digest[CryptoPP::Weak::MD5::DIGESTSIZE];
  CryptoPP::Weak::MD5().CalculateDigest(digest, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  std::string out;
  out.reserve(2 * sizeof digest);
  for (const uint8_t b : digest) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

}  // namespace kv
