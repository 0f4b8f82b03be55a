// Feeds arbitrary bytes to the ban-list file reader. Whatever it reads
// (also before a damage) must write and read back to the same bans, byte
// for byte; the reader must never allocate more than the input holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "enforcement/banlist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::TMemoryStream in(std::vector<uint8_t>(data, data + size));
  std::vector<kv::TBanListEntry> bans;
  try {
    kv::ReadBanListFile(in, bans);
  } catch (const kv::EStreamError&) {
  }
  kv::TMemoryStream out;
  kv::WriteBanListFile(out, bans);
  out.Seek(0);
  std::vector<kv::TBanListEntry> again;
  kv::ReadBanListFile(out, again);
  if (again.size() != bans.size()) std::abort();
  for (size_t i = 0; i < bans.size(); ++i) {
    // Compared bit for bit: a NaN end must survive as it was.
    if (std::memcmp(&again[i].end, &bans[i].end, sizeof(double)) != 0) std::abort();
    if (again[i].nick_filter != bans[i].nick_filter || again[i].address_filter != bans[i].address_filter ||
        again[i].ac_id != bans[i].ac_id || again[i].message != bans[i].message)
      std::abort();
  }
  return 0;
}
