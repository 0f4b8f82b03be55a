// The compression service: LZHUF (LZSS over a 4096-byte window with adaptive
// Huffman coding), framed with the uncompressed length at the end as a
// 32-bit little-endian integer and no header. The remote administration
// protocol compresses packet bodies with it.
#pragma once

#include <cstdint>
#include <string>

#include "core/stream.h"

namespace kv {

// Largest uncompressed length DecompressStream accepts unless told
// otherwise. Packet bodies are far smaller; a larger announcement is taken
// for damage or an attack rather than honoured.
inline constexpr uint64_t kLzhDefaultMaxLength = 64ull * 1024 * 1024;

// Compresses the whole source, from its start, to the destination's
// position. Fails (false, with a reason in *error when given) when the
// working tables cannot be had or the source is too long for the 32-bit
// length field. Each call has its own codec state: callable from any thread.
bool CompressStream(TStream& source, TStream& destination, std::string* error = nullptr);

// Decompresses the whole source, from its start, to the destination's
// position. Fails when the source holds 4 bytes or fewer, when the length in
// its last four bytes exceeds maxLength, or when the bit stream runs out
// long before that length is reached (the bits after the end of the source
// read as zero, but only a little way: real streams never need them). On
// failure the destination is left untouched. A memory stream positioned at
// its end receives the output in place, with no second copy; any other
// destination gets it in one write once complete. A match that crosses the
// announced length is copied completely, so a damaged stream can yield up to
// 59 bytes more than announced. Callable from any thread.
bool DecompressStream(TStream& source, TStream& destination, uint64_t maxLength = kLzhDefaultMaxLength,
                      std::string* error = nullptr);

}  // namespace kv
