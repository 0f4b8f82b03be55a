#include "remoteadmin/packet.h"

#include <cstring>
#include <exception>

#include "core/stream.h"

namespace kv {
namespace {

uint32_t ReadLE32(const char* p) {
  const auto* b = reinterpret_cast<const uint8_t*>(p);
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

void AppendLE32(std::string& out, uint32_t v) {
  const char b[4] = {char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF), char((v >> 24) & 0xFF)};
  out.append(b, 4);
}

// A length-prefixed text in a fixed field: the length byte, the
// characters, zero bytes to the field's end.
void AppendShortField(std::string& out, std::string_view text, size_t field_size) {
  const size_t n = std::min(text.size(), field_size - 1);
  out.push_back(char(uint8_t(n)));
  out.append(text.substr(0, n));
  out.append(field_size - 1 - n, '\0');
}

// The text a field's length byte counts, never reaching past the field.
std::string_view ShortField(std::string_view field) {
  const size_t n = std::min<size_t>(uint8_t(field[0]), field.size() - 1);
  return field.substr(1, n);
}

// Compares a marker the way peers do: the length byte and the characters
// it counts; what follows them in the field is not looked at.
bool MarkerMatches(std::string_view field, std::string_view marker) {
  return uint8_t(field[0]) == marker.size() && field.substr(1, marker.size()) == marker;
}

}  // namespace

std::string_view RejectReason(TPacketReject reject) {
  switch (reject) {
    case TPacketReject::None: return "";
    case TPacketReject::Size: return "size";
    case TPacketReject::StartMarker: return "startstr";
    case TPacketReject::Version: return "pversion";
    case TPacketReject::Malformed: return "mailformed";
    case TPacketReject::MalformedCrypt: return "mailformed crypt";
    case TPacketReject::BlockTooLarge: return "blocksize";
    case TPacketReject::BodyTooLarge: return "bodysize";
    case TPacketReject::BadBody: return "body";
  }
  return "";
}

TPacketReject DecodeHeader(std::string_view bytes, const TPacketLimits& limits, TPacketHeader& header) {
  header = TPacketHeader{};
  if (bytes.size() < kPacketHeaderSize) return TPacketReject::Size;
  if (!MarkerMatches(bytes.substr(0, kPacketMarkerFieldSize), kPacketStartMarker))
    return TPacketReject::StartMarker;
  header.version = std::string(ShortField(bytes.substr(kPacketMarkerFieldSize, kPacketVersionFieldSize)));
  header.compression_byte = uint8_t(bytes[32]);
  header.compression_flag = ReadLE32(bytes.data() + 32);
  header.block_length = ReadLE32(bytes.data() + 36);
  if (header.version != limits.version) return TPacketReject::Version;
  if (header.block_length > limits.max_block) return TPacketReject::BlockTooLarge;
  return TPacketReject::None;
}

TPacketReject DecodeBlock(std::string_view block, bool compressed, const TPacketLimits& limits,
                          TServerPacket& packet, TBodyCounts* counts, const TCipher& cipher) {
  const std::string plain = cipher.DecipherBytes(block);
  if (plain.size() < kPacketMarkerFieldSize) return TPacketReject::Malformed;
  if (!MarkerMatches(std::string_view(plain).substr(0, kPacketMarkerFieldSize), kPacketCheckMarker)) {
    return TPacketReject::MalformedCrypt;
  }
  const std::string_view rest = std::string_view(plain).substr(kPacketMarkerFieldSize);
  std::string expanded;
  std::string_view body = rest;
  if (counts) counts->transmitted = rest.size();
  if (compressed) {
    // The announced length sits in the last four bytes; a claim above the
    // cap is told apart from a damaged stream for the operator's sake.
    if (rest.size() > 4 && ReadLE32(rest.data() + rest.size() - 4) > limits.max_body) {
      return TPacketReject::BodyTooLarge;
    }
    TMemoryStream source(rest);
    TMemoryStream out;
    if (!DecompressStream(source, out, limits.max_body)) return TPacketReject::BadBody;
    expanded = out.Str();
    body = expanded;
  }
  if (counts) counts->plain = body.size();

  // CommandType, Result, L1, parameters, L2, data; nothing may reach past
  // the body.
  size_t pos = 0;
  auto take32 = [&](uint32_t& v) {
    if (body.size() - pos < 4) return false;
    v = ReadLE32(body.data() + pos);
    pos += 4;
    return true;
  };
  uint32_t command = 0, result = 0, l1 = 0, l2 = 0;
  if (!take32(command) || !take32(result) || !take32(l1)) return TPacketReject::BadBody;
  if (l1 > body.size() - pos) return TPacketReject::BadBody;
  std::optional<TVarList> parameters;
  if (l1 != 0) {
    parameters.emplace();
    try {
      TMemoryStream list_bytes(body.substr(pos, l1));
      parameters->LoadFromStream(list_bytes);
    } catch (const std::exception&) {
      return TPacketReject::BadBody;
    }
    pos += l1;
  }
  if (!take32(l2) || l2 > body.size() - pos) return TPacketReject::BadBody;
  std::optional<std::string> data;
  if (l2 != 0) data.emplace(body.substr(pos, l2));

  packet.command_type = int32_t(command);
  packet.result = int32_t(result);
  packet.parameters = std::move(parameters);
  packet.data = std::move(data);
  return TPacketReject::None;
}

std::string EncodeBody(const TServerPacket& packet) {
  std::string body;
  AppendLE32(body, uint32_t(packet.command_type));
  AppendLE32(body, uint32_t(packet.result));
  if (packet.parameters) {
    TMemoryStream list;
    packet.parameters->SaveToStream(list);
    AppendLE32(body, uint32_t(list.Size()));
    body.append(list.Str());
  } else {
    AppendLE32(body, 0);
  }
  if (packet.data && !packet.data->empty()) {
    AppendLE32(body, uint32_t(packet.data->size()));
    body.append(*packet.data);
  } else {
    AppendLE32(body, 0);
  }
  return body;
}

TEncodedPacket EncodePacket(const TServerPacket& packet, bool compress, std::string_view version,
                            const TCipher& cipher) {
  TEncodedPacket encoded;
  std::string body = EncodeBody(packet);
  encoded.body_plain = body.size();
  if (compress) {
    TMemoryStream source(body);
    TMemoryStream out;
    if (CompressStream(source, out)) {
      body = out.Str();
      encoded.compressed = true;
    }
  }
  encoded.body_sent = body.size();

  std::string plain;
  plain.reserve(kPacketMarkerFieldSize + body.size());
  AppendShortField(plain, kPacketCheckMarker, kPacketMarkerFieldSize);
  plain.append(body);
  const std::string block = cipher.EncipherBytes(plain);

  std::string& out = encoded.bytes;
  out.reserve(kPacketHeaderSize + block.size());
  AppendShortField(out, kPacketStartMarker, kPacketMarkerFieldSize);
  AppendShortField(out, version, kPacketVersionFieldSize);
  AppendLE32(out, encoded.compressed ? 1 : 0);
  AppendLE32(out, uint32_t(block.size()));
  out.append(block);
  return encoded;
}

void TPacketAssembler::Feed(std::string_view chunk) {
  if (chunk.empty() || pending_ != TPacketReject::None) return;
  // A chunk that starts a packet must hold its whole header; bytes left
  // over from the previous packet may be joined by later chunks instead.
  if (Buffered() == 0 && !have_header_ && chunk.size() < kPacketHeaderSize) {
    pending_ = TPacketReject::Size;
    return;
  }
  buffer_.append(chunk);
}

TPacketAssembler::TOutcome TPacketAssembler::Next() {
  TOutcome outcome;
  if (pending_ != TPacketReject::None) {
    outcome.state = TState::Rejected;
    outcome.reject = pending_;
    outcome.header = header_;
    return outcome;
  }
  if (!have_header_) {
    if (Buffered() < kPacketHeaderSize) return outcome;
    const TPacketReject reject =
        DecodeHeader(std::string_view(buffer_).substr(consumed_, kPacketHeaderSize), limits_, header_);
    if (reject != TPacketReject::None) {
      pending_ = reject;
      buffer_.clear();
      consumed_ = 0;
      return Next();
    }
    have_header_ = true;
    consumed_ += kPacketHeaderSize;
  }
  if (Buffered() < header_.block_length) {
    Compact();
    return outcome;
  }
  outcome.state = TState::Complete;
  outcome.header = header_;
  outcome.block = buffer_.substr(consumed_, header_.block_length);
  consumed_ += header_.block_length;
  have_header_ = false;
  Compact();
  return outcome;
}

void TPacketAssembler::Clear() {
  buffer_.clear();
  buffer_.shrink_to_fit();
  consumed_ = 0;
  have_header_ = false;
  header_ = TPacketHeader{};
}

void TPacketAssembler::Compact() {
  if (consumed_ == buffer_.size()) {
    buffer_.clear();
    consumed_ = 0;
  } else if (consumed_ >= 65536 || consumed_ * 2 >= buffer_.size()) {
    buffer_.erase(0, consumed_);
    consumed_ = 0;
  }
  // One large packet must not pin its memory for the connection's life.
  if (buffer_.capacity() > (1u << 20) && buffer_.size() < (1u << 16)) buffer_.shrink_to_fit();
}

}  // namespace kv
