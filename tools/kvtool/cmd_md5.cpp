// kvtool md5 TEXT: the digest text the player history store keys on, of the
// Windows-1252 bytes of TEXT.
#include "core/cp1252.h"
#include "formats/digest.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {

int CmdMd5(const TArgs& args, TToolIO io) {
  if (args.size() != 1) return Fail(io, "usage: kvtool md5 TEXT");
  io.out << DigestText(Utf8ToCp1252(args[0])) << "\n";
  return 0;
}

}  // namespace kv::tool
