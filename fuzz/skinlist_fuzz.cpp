// Feeds arbitrary bytes to the SkinList.dat reader. Whatever it reads (also
// before a damage) must be valid skin names that write and read back to the
// same list, and the written form must be a fixed point, byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "rules/skins.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::TMemoryStream in(std::vector<uint8_t>(data, data + size));
  std::vector<std::string> skins;
  try {
    kv::ReadSkinListFile(in, skins);
  } catch (const kv::EStreamError&) {
  }
  for (const auto& s : skins)
    if (!kv::IsValidSkinName(s) || kv::TrimSkin(s) != s) std::abort();
  kv::TMemoryStream out;
  kv::WriteSkinListFile(out, skins);
  out.Seek(0);
  std::vector<std::string> again;
  kv::ReadSkinListFile(out, again);
  if (again != skins) std::abort();
  kv::TMemoryStream twice;
  kv::WriteSkinListFile(twice, again);
  if (twice.Bytes() != out.Bytes()) std::abort();
  return 0;
}
