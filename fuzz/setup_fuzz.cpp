// libFuzzer target for the setup export reader (needs kvcore). The input is
// taken as the plain layout and enciphered first, so the fuzzer steers the
// lengths and texts the reader checks rather than the cipher's noise. A
// file that reads must rebuild to the same bytes, and its settings section
// must load or be refused like any variable list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "domain/setup_export.h"
#include "formats/cipher.h"
#include "formats/varlist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::TMemoryStream plain(std::vector<uint8_t>(data, data + size));
  kv::TMemoryStream file;
  kv::EncipherStream(kv::TCipherPurpose::SetupExport, plain, file, plain.Size());
  kv::TSetupImage image;
  try {
    image = kv::ReadSetupImage(file.Bytes());
  } catch (const std::exception&) {
    return 0;
  }
  const std::vector<uint8_t> rebuilt = kv::BuildSetupFile(image);
  // Trailing bytes after the tenth section are ignored by the reader.
  if (rebuilt.size() > file.Bytes().size()) std::abort();
  if (kv::ReadSetupImage(rebuilt).sections != image.sections) std::abort();
  kv::TMemoryStream settings(image.sections[0]);
  kv::TVarList list;
  try {
    list.LoadFromStream(settings);
  } catch (const std::exception&) {
  }
  return 0;
}
