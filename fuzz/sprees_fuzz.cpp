// Feeds arbitrary bytes to the spree-file reader. Whatever it reads (also
// before a damage) must write and read back to the same lists; the reader
// must never allocate more than the input holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "rules/sprees_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::TMemoryStream in(std::vector<uint8_t>(data, data + size));
  kv::TSpreeLists lists;
  try {
    kv::ReadSpreesFile(in, lists);
  } catch (const kv::EStreamError&) {
  }
  // A line break inside a message cannot be written back as one line: the
  // reader never makes one.
  for (const auto* list : {&lists.killing, &lists.losing})
    for (const auto& e : *list)
      if (e.line.find_first_of("\r\n") != std::string::npos) std::abort();
  kv::TMemoryStream out;
  kv::WriteSpreesFile(out, lists);
  out.Seek(0);
  kv::TSpreeLists again;
  kv::ReadSpreesFile(out, again);
  if (!(again == lists)) std::abort();
  return 0;
}
