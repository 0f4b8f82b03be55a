// kvtool setup dump FILE: what a setup export holds — its version text and
// the length of each of its ten sections — without importing anything.
#include "core/stream.h"
#include "domain/setup_export.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {

int CmdSetup(const TArgs& args, TToolIO io) {
  if (args.size() != 2 || args[0] != "dump") return Fail(io, "usage: kvtool setup dump FILE");
  const TSetupImage image = ReadSetupImage(LoadFileBytes(args[1]));
  io.out << image.version << "\n";
  for (size_t i = 0; i < image.sections.size(); ++i)
    io.out << (i + 1) << " " << kSetupSectionNames[i] << ": " << image.sections[i].size() << "\n";
  return 0;
}

}  // namespace kv::tool
