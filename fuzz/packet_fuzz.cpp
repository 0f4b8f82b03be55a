// Feeds arbitrary bytes to the remote-administration packet decoder.
//
// The first byte picks what the rest is:
//   0..127   a connection's byte stream, cut into chunks whose sizes come
//            from the data itself, through the assembler and the decoder;
//   128..191 the plain body of a block (enciphered here, so the body reader,
//            the variable list and the data block are reached past the
//            check marker);
//   192..255 the same, the body taken as LZHUF-compressed.
// Every packet that decodes must encode and decode again to the same
// fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "remoteadmin/packet.h"

namespace {

// Small caps keep the fuzzer's memory in bounds; the logic is the same.
kv::TPacketLimits Limits() {
  kv::TPacketLimits limits;
  limits.max_block = 1 << 20;
  limits.max_body = 1 << 20;
  return limits;
}

void CheckRoundTrip(const kv::TServerPacket& packet) {
  for (bool compress : {false, true}) {
    const kv::TEncodedPacket encoded = kv::EncodePacket(packet, compress);
    kv::TPacketHeader header;
    if (kv::DecodeHeader(encoded.bytes, Limits(), header) != kv::TPacketReject::None) std::abort();
    kv::TServerPacket again;
    if (kv::DecodeBlock(std::string_view(encoded.bytes).substr(kv::kPacketHeaderSize), header.Compressed(),
                        Limits(), again) != kv::TPacketReject::None) {
      std::abort();
    }
    if (again.command_type != packet.command_type || again.result != packet.result ||
        again.data.value_or("") != packet.data.value_or("") ||
        bool(again.parameters) != bool(packet.parameters) ||
        (packet.parameters && again.parameters->Count() != packet.parameters->Count())) {
      std::abort();
    }
  }
}

void Decoded(const std::string& block, bool compressed) {
  kv::TServerPacket packet;
  kv::TBodyCounts counts;
  if (kv::DecodeBlock(block, compressed, Limits(), packet, &counts) == kv::TPacketReject::None) {
    if (counts.transmitted + kv::kPacketMarkerFieldSize != block.size()) std::abort();
    CheckRoundTrip(packet);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  if (mode >= 128) {
    std::string plain(kv::kPacketMarkerFieldSize, '\0');
    plain[0] = char(kv::kPacketCheckMarker.size());
    plain.replace(1, kv::kPacketCheckMarker.size(), kv::kPacketCheckMarker);
    Decoded(kv::CipherFor(kv::TCipherPurpose::RemoteAdmin).EncipherBytes(plain + rest), mode >= 192);
    return 0;
  }
  // Chunk sizes: mode * 7 + 1 bytes each, so both the first-chunk rule and
  // packets spread over many chunks are reached.
  const size_t chunk = size_t(mode) * 7 + 1;
  kv::TPacketAssembler assembler(Limits());
  for (size_t pos = 0; pos < rest.size(); pos += chunk) {
    assembler.Feed(std::string_view(rest).substr(pos, chunk));
    for (;;) {
      kv::TPacketAssembler::TOutcome out = assembler.Next();
      if (out.state == kv::TPacketAssembler::TState::NeedMore) break;
      if (out.state == kv::TPacketAssembler::TState::Rejected) return 0;
      if (out.block.size() != out.header.block_length) std::abort();
      Decoded(out.block, out.header.Compressed());
    }
    if (assembler.Buffered() > Limits().max_block + kv::kPacketHeaderSize + chunk) std::abort();
  }
  return 0;
}
