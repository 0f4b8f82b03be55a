// kvtool lzh compress|decompress: the packet-body codec from standard input
// to standard output, to inspect captured remote administration traffic.
#include <charconv>

#include "formats/lzhuf.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

constexpr char kUsage[] = "usage: kvtool lzh compress | lzh decompress [--max-length BYTES]";

void WriteOut(TToolIO io, const TMemoryStream& stream) {
  io.out.write(reinterpret_cast<const char*>(stream.Bytes().data()),
               static_cast<std::streamsize>(stream.Size()));
}

bool ParseLength(const std::string& text, uint64_t& value) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && !text.empty();
}

}  // namespace

int CmdLzh(const TArgs& args, TToolIO io) {
  if (args.size() == 1 && args[0] == "compress") {
    TMemoryStream source(ReadAll(io.in)), destination;
    std::string error;
    if (!CompressStream(source, destination, &error)) return Fail(io, error);
    WriteOut(io, destination);
    return 0;
  }
  if (!args.empty() && args[0] == "decompress") {
    uint64_t maxLength = kLzhDefaultMaxLength;
    if (args.size() == 3 && args[1] == "--max-length") {
      if (!ParseLength(args[2], maxLength)) return Fail(io, "not a byte count: " + args[2]);
    } else if (args.size() != 1) {
      return Fail(io, kUsage);
    }
    TMemoryStream source(ReadAll(io.in)), destination;
    std::string error;
    if (!DecompressStream(source, destination, maxLength, &error)) return Fail(io, error);
    WriteOut(io, destination);
    return 0;
  }
  return Fail(io, kUsage);
}

}  // namespace kv::tool
