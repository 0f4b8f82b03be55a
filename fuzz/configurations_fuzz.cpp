// Feeds arbitrary bytes to the Configurations.dat reader. Whatever it reads
// (also before a damage) must write and read back to the same bytes, and
// working out what applying each set would send must end in a plan or a
// clean error; the reader must never allocate more than the input holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "serverconfig/config_plan.h"
#include "serverconfig/configlist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::TMemoryStream in(std::vector<uint8_t>(data, data + size));
  std::vector<kv::TVarList> sets;
  try {
    kv::ReadConfigurationsFile(in, sets);
  } catch (const std::exception&) {
  }
  kv::TMemoryStream out;
  kv::WriteConfigurationsFile(out, sets);
  out.Seek(0);
  std::vector<kv::TVarList> again;
  kv::ReadConfigurationsFile(out, again);
  kv::TMemoryStream out2;
  kv::WriteConfigurationsFile(out2, again);
  if (again.size() != sets.size() || out.Bytes() != out2.Bytes()) std::abort();
  for (const auto& set : sets) {
    try {
      (void)kv::BuildConfigPlan(set);
    } catch (const std::exception&) {
    }
  }
  return 0;
}
