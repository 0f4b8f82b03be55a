// The remote-administration packet and its wire form. Every message in
// either direction is one packet:
//
//   offset  size  field
//        0    21  start marker: length byte 13, "ZAQ_KV_Packet", zero bytes
//       21    11  protocol version: length byte, the characters, zero bytes
//       32     4  compression flag (1: the body is LZHUF-compressed)
//       36     4  N, the length of the enciphered block
//       40     N  the block, enciphered as one message with the
//                 remote-administration pass phrase
//
// The plain block is a 21-byte check marker (length byte 17,
// "ZAQ_KV_TESTString", zero bytes) followed by the body: CommandType,
// Result, L1 + a variable list (L1 = 0: none), L2 + raw data (L2 = 0: none);
// every integer 32-bit little-endian. Existing clients depend on every byte.
//
// Decoding never throws on bad input: what is wrong is a TPacketReject.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/cipher.h"
#include "formats/lzhuf.h"
#include "formats/varlist.h"

namespace kv {

inline constexpr size_t kPacketHeaderSize = 40;
inline constexpr size_t kPacketMarkerFieldSize = 21;   // start marker and check marker fields
inline constexpr size_t kPacketVersionFieldSize = 11;  // length byte + up to 10 characters
inline constexpr std::string_view kPacketStartMarker = "ZAQ_KV_Packet";
inline constexpr std::string_view kPacketCheckMarker = "ZAQ_KV_TESTString";
// The protocol version this server speaks and expects from its clients.
inline constexpr std::string_view kRemoteAdminVersion = "2.4";
// Largest enciphered block accepted from a peer. Real packets are far
// smaller; a larger announcement is refused before any of it is buffered.
inline constexpr uint32_t kMaxPacketBlock = 16u * 1024 * 1024;
// Largest body a compressed block may expand to.
inline constexpr uint64_t kMaxPacketBody = kLzhDefaultMaxLength;
// Longest peer address a packet keeps.
inline constexpr size_t kPacketMaxAddress = 100;

// One decoded packet (a request or a reply).
struct TServerPacket {
  int32_t command_type = 0;            // the command number; replies carry 0
  int32_t result = -1;                 // 0 success, -1 failure
  std::optional<TVarList> parameters;  // none: L1 = 0 on the wire
  std::optional<std::string> data;     // raw bytes; none: L2 = 0 on the wire
  int32_t connection = -1;             // handle of the connection it came from
  std::string peer_address;            // at most kPacketMaxAddress characters
};

// Why a packet was refused. The first five are what existing peers and
// operators know from the warnings; the others guard the resources.
enum class TPacketReject {
  None = 0,
  Size,            // first chunk shorter than the 40-byte header ("size")
  StartMarker,     // not a packet of this protocol ("startstr")
  Version,         // another protocol version ("pversion")
  Malformed,       // deciphered block shorter than the check marker ("mailformed")
  MalformedCrypt,  // check marker wrong, e.g. another pass phrase ("mailformed crypt")
  BlockTooLarge,   // announced block length above the cap
  BodyTooLarge,    // compressed body expanding above the cap
  BadBody,         // body fields overrunning the block, or a body that does not decompress
};

// Short name of a rejection as the close-failure message gives it
// ("size", "startstr", "pversion", "mailformed", "mailformed crypt", ...).
std::string_view RejectReason(TPacketReject reject);

// The fields of a 40-byte header.
struct TPacketHeader {
  std::string version;           // the characters the length byte counts
  uint8_t compression_byte = 0;  // first byte of the flag: non-zero means compressed
  uint32_t compression_flag = 0;
  uint32_t block_length = 0;
  bool Compressed() const { return compression_byte != 0; }
};

struct TPacketLimits {
  std::string version = std::string(kRemoteAdminVersion);
  uint32_t max_block = kMaxPacketBlock;
  uint64_t max_body = kMaxPacketBody;
};

// Reads and checks a header (at least kPacketHeaderSize bytes): start
// marker, version, block cap. The header is filled as far as it could be
// read, so a Version rejection carries the version received.
TPacketReject DecodeHeader(std::string_view bytes, const TPacketLimits& limits, TPacketHeader& header);

// Byte counts of one decoded block, for the traffic counters.
struct TBodyCounts {
  uint64_t transmitted = 0;  // deciphered bytes after the check marker
  uint64_t plain = 0;        // body bytes after decompression
};

// Deciphers one block and reads its body into `packet` (command, result,
// parameters, data; connection and address are left alone). `counts` is
// filled as soon as the check marker has passed, also when the body is
// then refused.
TPacketReject DecodeBlock(std::string_view block, bool compressed, const TPacketLimits& limits,
                          TServerPacket& packet, TBodyCounts* counts = nullptr,
                          const TCipher& cipher = CipherFor(TCipherPurpose::RemoteAdmin));

// The body of a packet, uncompressed.
std::string EncodeBody(const TServerPacket& packet);

// A packet ready for the wire, with its byte counts.
struct TEncodedPacket {
  std::string bytes;        // header + enciphered block
  uint64_t body_plain = 0;  // body bytes before compression
  uint64_t body_sent = 0;   // body bytes as sent (compressed or not)
  bool compressed = false;
};

// Encodes a packet. When compression is asked for but fails (never for
// bodies this small), the body goes uncompressed with flag 0.
TEncodedPacket EncodePacket(const TServerPacket& packet, bool compress,
                            std::string_view version = kRemoteAdminVersion,
                            const TCipher& cipher = CipherFor(TCipherPurpose::RemoteAdmin));

// Cuts the byte stream of one connection into packets.
//
// The first chunk of a packet must hold the whole header (a connection that
// sends less is not speaking this protocol); its block may come in any
// number of later chunks. Bytes beyond a block's announced length are kept
// as the start of the next packet: they need not hold a whole header at
// once. Memory is bounded by the block cap plus one chunk.
class TPacketAssembler {
 public:
  enum class TState {
    NeedMore,  // nothing complete yet
    Complete,  // `header` and `block` hold one packet
    Rejected,  // `reject` says why (`header` as far as read); feed nothing more
  };
  struct TOutcome {
    TState state = TState::NeedMore;
    TPacketReject reject = TPacketReject::None;
    TPacketHeader header;
    std::string block;  // the enciphered block
  };

  explicit TPacketAssembler(TPacketLimits limits = {}) : limits_(std::move(limits)) {}

  // Adds one chunk as read from the connection.
  void Feed(std::string_view chunk);
  // The next complete packet or a rejection; call until NeedMore.
  TOutcome Next();
  // Bytes held: a partial packet or surplus.
  size_t Buffered() const { return buffer_.size() - consumed_; }
  // True while part of a packet (or surplus) is held.
  bool Holding() const { return have_header_ || Buffered() > 0; }
  // Forgets whatever is held (an idle half-packet).
  void Clear();

 private:
  void Compact();

  TPacketLimits limits_;
  std::string buffer_;        // bytes received and not yet handed out
  size_t consumed_ = 0;       // bytes at the front already handed out
  bool have_header_ = false;  // the header at the front has been read
  TPacketHeader header_;
  TPacketReject pending_ = TPacketReject::None;
};

}  // namespace kv
