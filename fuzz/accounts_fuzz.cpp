// Feeds arbitrary bytes to the account file reader, both as the plain
// layout and as an enciphered file. Whatever it reads (also before a
// damage) must write and read back to the same accounts; the reader must
// never allocate more than the input holds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "remoteadmin/accounts.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  kv::TMemoryStream in(std::vector<uint8_t>(data + 1, data + size));
  std::vector<kv::TAccessListEntry> accounts;
  try {
    if (data[0] & 1)
      kv::ReadAccountsFile(in, accounts);
    else
      kv::ReadAccountsPlain(in, accounts);
  } catch (const kv::EStreamError&) {
  }
  kv::TMemoryStream out;
  kv::WriteAccountsFile(out, accounts);
  out.Seek(0);
  std::vector<kv::TAccessListEntry> again;
  kv::ReadAccountsFile(out, again);
  // An account read from a zero-length record writes as a full empty record,
  // which reads back as the same empty account.
  if (again != accounts) std::abort();
  return 0;
}
