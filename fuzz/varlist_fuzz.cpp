// Feeds arbitrary bytes to the variable-list loader and, when they load,
// checks that saving and loading again gives the same list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "formats/varlist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::TMemoryStream in(std::vector<uint8_t>(data, data + size));
  kv::TVarList list;
  try {
    list.LoadFromStream(in);
  } catch (const std::exception&) {
    return 0;
  }
  kv::TMemoryStream out;
  list.SaveToStream(out);
  out.Seek(0);
  kv::TVarList again;
  again.LoadFromStream(out);
  if (again.Count() != list.Count()) std::abort();
  return 0;
}
