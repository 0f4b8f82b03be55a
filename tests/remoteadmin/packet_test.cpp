#include "remoteadmin/packet.h"

#include <gtest/gtest.h>

#include <string>

#include "core/stream.h"
#include "remoteadmin/clients.h"

namespace kv {
namespace {

// Golden packets, computed by tests/remoteadmin/golden_packets.py from the
// published algorithms and the layout written out by hand (the LZHUF
// streams of the compressed ones are given to it; the codec is pinned in
// the formats tests).
// RequestPlain (118 bytes)
const char kRequestPlain[] =
    "\x0d\x5a\x41\x51\x5f\x4b\x56\x5f\x50\x61\x63\x6b\x65\x74\x00\x00\x00\x00\x00\x00\x00\x03\x32\x2e\x34\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x4e\x00\x00\x00\x58\x06\x0b\x6c\xf4\x93\xbd\x62\x79\x63\x27\x9e"
    "\xdf\x88\x82\xfe\xc1\x5c\x5e\x82\xae\x82\x61\xa7\x79\xdf\x22\x91\x8b\x2a\x32\x28\x3c\xc1\x77\x13\xec\xbc"
    "\x1c\x23\x02\x13\x82\x4b\x6b\xc2\x06\xcd\xd1\xb7\x5a\x6b\x8b\x2e\x56\x2b\x58\xcd\x50\x21\x01\xc1\xa1\xe9"
    "\x89\xd0\xcc\x64\xb8\xb9\x35\x3e\xc5\x25\xa9\x9c\xf3\x32";
// ReplyPlain (79 bytes)
const char kReplyPlain[] =
    "\x0d\x5a\x41\x51\x5f\x4b\x56\x5f\x50\x61\x63\x6b\x65\x74\x00\x00\x00\x00\x00\x00\x00\x03\x32\x2e\x34\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x27\x00\x00\x00\x58\x06\x0b\x6c\xf4\x93\xbd\x62\x79\x63\x27\x9e"
    "\x0a\xcc\x61\xbd\xae\x79\xb4\x4f\xb9\xca\xb4\xb0\x40\xc7\x0c\x6d\x63\xf5\xe3\x06\x17\x87\xf1\x74\x31\x19"
    "\xbb";
// RequestLzh (120 bytes)
const char kRequestLzh[] =
    "\x0d\x5a\x41\x51\x5f\x4b\x56\x5f\x50\x61\x63\x6b\x65\x74\x00\x00\x00\x00\x00\x00\x00\x03\x32\x2e\x34\x00"
    "\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x50\x00\x00\x00\x58\x06\x0b\x6c\xf4\x93\xbd\x62\x79\x63\x27\x9e"
    "\xb4\xd2\x8c\x56\xe4\x3b\xb5\x5f\x73\x2b\x26\x7e\x27\x05\xd5\x82\x6c\xff\x30\x57\x64\x5a\x6f\xce\x65\xb0"
    "\x57\xd0\x63\x11\xb4\xcc\x41\xbb\xe1\x4c\xa3\xd4\x48\x50\xe4\xc3\x60\xb5\xa8\x83\xde\x69\x2b\xb4\x37\x66"
    "\x9b\x57\xb0\x77\x3e\xd1\x79\x50\x8f\x89\xc8\x24\x4e\xc8\xc4\x7a";
// ReplyLzh (74 bytes)
const char kReplyLzh[] =
    "\x0d\x5a\x41\x51\x5f\x4b\x56\x5f\x50\x61\x63\x6b\x65\x74\x00\x00\x00\x00\x00\x00\x00\x03\x32\x2e\x34\x00"
    "\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x22\x00\x00\x00\x58\x06\x0b\x6c\xf4\x93\xbd\x62\x79\x63\x27\x9e"
    "\x94\xd6\x54\x28\x0c\x97\x11\x26\x17\x70\x10\x84\xc8\x70\x00\xd9\xb0\xe3\xb9\x6f\x00\x1d";

std::string Bytes(const char* s, size_t n) { return std::string(s, n); }
const std::string kGoldenRequest = Bytes(kRequestPlain, sizeof(kRequestPlain) - 1);
const std::string kGoldenReply = Bytes(kReplyPlain, sizeof(kReplyPlain) - 1);
const std::string kGoldenRequestLzh = Bytes(kRequestLzh, sizeof(kRequestLzh) - 1);
const std::string kGoldenReplyLzh = Bytes(kReplyLzh, sizeof(kReplyLzh) - 1);

TServerPacket GoldenRequest() {
  TServerPacket p;
  p.command_type = 7;
  p.result = -1;
  p.parameters.emplace();
  p.parameters->SetValue("x", 5);
  p.data = "ABC";
  return p;
}

TServerPacket GoldenReply() {
  TServerPacket p;
  p.command_type = 0;
  p.result = 0;
  p.data = std::string("\x01\x02", 2);
  return p;
}

// Decodes one whole packet (header + block) the way a peer does.
TPacketReject DecodeWhole(const std::string& bytes, TServerPacket& out, TPacketHeader* header_out = nullptr) {
  TPacketLimits limits;
  TPacketHeader header;
  TPacketReject r = DecodeHeader(bytes, limits, header);
  if (header_out) *header_out = header;
  if (r != TPacketReject::None) return r;
  if (bytes.size() != kPacketHeaderSize + header.block_length) return TPacketReject::BadBody;
  return DecodeBlock(std::string_view(bytes).substr(kPacketHeaderSize), header.Compressed(), limits, out);
}

TEST(PacketCodec, GoldenBytesBothWaysCompressedAndNot) {
  EXPECT_EQ(EncodePacket(GoldenRequest(), false).bytes, kGoldenRequest);
  EXPECT_EQ(EncodePacket(GoldenReply(), false).bytes, kGoldenReply);
  EXPECT_EQ(EncodePacket(GoldenRequest(), true).bytes, kGoldenRequestLzh);
  EXPECT_EQ(EncodePacket(GoldenReply(), true).bytes, kGoldenReplyLzh);

  for (const std::string* golden : {&kGoldenRequest, &kGoldenRequestLzh}) {
    TServerPacket p;
    ASSERT_EQ(DecodeWhole(*golden, p), TPacketReject::None);
    EXPECT_EQ(p.command_type, 7);
    EXPECT_EQ(p.result, -1);
    ASSERT_TRUE(p.parameters);
    EXPECT_EQ(p.parameters->Count(), 1);
    EXPECT_EQ(p.parameters->GetValue("X").AsInteger(), 5);
    EXPECT_EQ(p.data, "ABC");
  }
  for (const std::string* golden : {&kGoldenReply, &kGoldenReplyLzh}) {
    TServerPacket p;
    ASSERT_EQ(DecodeWhole(*golden, p), TPacketReject::None);
    EXPECT_EQ(p.command_type, 0);
    EXPECT_EQ(p.result, 0);
    EXPECT_FALSE(p.parameters);
    EXPECT_EQ(p.data, std::string("\x01\x02", 2));
  }
}

TEST(PacketCodec, ByteCountsOfAnEncodedPacket) {
  const TEncodedPacket plain = EncodePacket(GoldenRequest(), false);
  EXPECT_EQ(plain.body_plain, EncodeBody(GoldenRequest()).size());
  EXPECT_EQ(plain.body_sent, plain.body_plain);
  EXPECT_FALSE(plain.compressed);
  // A body of repeats shrinks: the two counts part.
  TServerPacket big;
  big.data = std::string(5000, 'k');
  const TEncodedPacket packed = EncodePacket(big, true);
  EXPECT_TRUE(packed.compressed);
  EXPECT_EQ(packed.body_plain, 5016u);
  EXPECT_LT(packed.body_sent, 200u);
  TServerPacket back;
  TBodyCounts counts;
  TPacketHeader header;
  ASSERT_EQ(DecodeHeader(packed.bytes, {}, header), TPacketReject::None);
  ASSERT_EQ(DecodeBlock(packed.bytes.substr(kPacketHeaderSize), true, {}, back, &counts),
            TPacketReject::None);
  EXPECT_EQ(counts.transmitted, packed.body_sent);
  EXPECT_EQ(counts.plain, packed.body_plain);
  EXPECT_EQ(back.data, big.data);
}

// A block with the check marker and the given body, enciphered.
std::string Block(const std::string& body, const std::string& marker = "ZAQ_KV_TESTString",
                  TCipherPurpose purpose = TCipherPurpose::RemoteAdmin) {
  std::string plain(21, '\0');
  plain[0] = char(marker.size());
  plain.replace(1, marker.size(), marker);
  return TCipher(purpose).EncipherBytes(plain + body);
}

std::string Le(int32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

TEST(PacketCodec, MalformedBlocksAreRefusedNeverRead) {
  const std::string list = [] {
    TVarList l;
    l.SetValue("a", 1);
    TMemoryStream s;
    l.SaveToStream(s);
    return s.Str();
  }();
  struct TCase {
    const char* name;
    std::string block;
    bool compressed;
    TPacketReject expected;
  } cases[] = {
      {"shorter than the check marker",
       TCipher(TCipherPurpose::RemoteAdmin).EncipherBytes(std::string(20, 'x')), false,
       TPacketReject::Malformed},
      {"empty block", "", false, TPacketReject::Malformed},
      {"another pass phrase",
       Block(Le(1) + Le(0) + Le(0) + Le(0), "ZAQ_KV_TESTString", TCipherPurpose::Settings), false,
       TPacketReject::MalformedCrypt},
      {"other marker text", Block(Le(1) + Le(0) + Le(0) + Le(0), "ZAQ_KV_TESTStrinG"), false,
       TPacketReject::MalformedCrypt},
      {"body without fields", Block(""), false, TPacketReject::BadBody},
      {"no L2", Block(Le(1) + Le(0) + Le(0)), false, TPacketReject::BadBody},
      {"L1 beyond the block", Block(Le(1) + Le(0) + Le(100) + list), false, TPacketReject::BadBody},
      {"negative L1", Block(Le(1) + Le(0) + Le(-4) + Le(0)), false, TPacketReject::BadBody},
      {"L2 beyond the block", Block(Le(1) + Le(0) + Le(0) + Le(10) + "abc"), false, TPacketReject::BadBody},
      {"damaged variable list", Block(Le(1) + Le(0) + Le(8) + "\x05\0\0\0abcd" + Le(0)), false,
       TPacketReject::BadBody},
      {"compressed body that does not decompress", Block("\x01\x02"), true, TPacketReject::BadBody},
      {"compressed body announcing too much", Block("\xAA\xBB\xCC\xDD" + Le(0x7FFFFFFF)), true,
       TPacketReject::BodyTooLarge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TServerPacket p;
    EXPECT_EQ(DecodeBlock(c.block, c.compressed, {}, p), c.expected);
  }
  // Bytes after the data block are tolerated, as is a list that fills L1.
  TServerPacket p;
  ASSERT_EQ(DecodeBlock(Block(Le(3) + Le(0) + Le(int32_t(list.size())) + list + Le(1) + "z" + "trailing"),
                        false, {}, p),
            TPacketReject::None);
  EXPECT_EQ(p.command_type, 3);
  EXPECT_EQ(p.parameters->GetValue("a").AsInteger(), 1);
  EXPECT_EQ(p.data, "z");
}

std::string Header(const std::string& marker, const std::string& version, uint32_t flag, uint32_t length) {
  std::string h(40, '\0');
  h[0] = char(marker.size());
  h.replace(1, marker.size(), marker);
  h[21] = char(version.size());
  h.replace(22, version.size(), version);
  h.replace(32, 4, Le(int32_t(flag)));
  h.replace(36, 4, Le(int32_t(length)));
  return h;
}

TEST(PacketAssembler, HeaderChecks) {
  struct TCase {
    const char* name;
    std::string header;
    TPacketReject expected;
  } cases[] = {
      {"start marker", Header("ZAQ_KV_Packed", "2.4", 0, 10), TPacketReject::StartMarker},
      {"marker length byte", Header("ZAQ_KV_Packet ", "2.4", 0, 10), TPacketReject::StartMarker},
      {"version", Header("ZAQ_KV_Packet", "2.3", 0, 10), TPacketReject::Version},
      {"block above the cap", Header("ZAQ_KV_Packet", "2.4", 0, kMaxPacketBlock + 1),
       TPacketReject::BlockTooLarge},
      {"block at the cap", Header("ZAQ_KV_Packet", "2.4", 0, kMaxPacketBlock), TPacketReject::None},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TPacketAssembler a;
    a.Feed(c.header);
    const auto out = a.Next();
    EXPECT_EQ(out.reject, c.expected);
    EXPECT_EQ(out.state, c.expected == TPacketReject::None ? TPacketAssembler::TState::NeedMore
                                                           : TPacketAssembler::TState::Rejected);
    if (c.expected == TPacketReject::Version) {
      EXPECT_EQ(out.header.version, "2.3");
    }
  }
  // Bytes after the marker's characters are not compared.
  std::string h = Header("ZAQ_KV_Packet", "2.4", 0, 0);
  h[15] = 'q';
  h[30] = 'q';
  TPacketAssembler a;
  a.Feed(h);
  EXPECT_EQ(a.Next().state, TPacketAssembler::TState::Complete);
}

TEST(PacketAssembler, ChunksSurplusAndTheFirstChunkRule) {
  const std::string p1 = EncodePacket(GoldenRequest(), false).bytes;
  const std::string p2 = EncodePacket(GoldenReply(), true).bytes;

  {  // 39 bytes cannot start a packet, even when the rest follows.
    TPacketAssembler a;
    a.Feed(p1.substr(0, 39));
    a.Feed(p1.substr(39));
    const auto out = a.Next();
    EXPECT_EQ(out.state, TPacketAssembler::TState::Rejected);
    EXPECT_EQ(out.reject, TPacketReject::Size);
  }
  {  // 40 bytes can; the block follows in pieces.
    TPacketAssembler a;
    a.Feed(p1.substr(0, 40));
    EXPECT_EQ(a.Next().state, TPacketAssembler::TState::NeedMore);
    a.Feed(p1.substr(40, 5));
    EXPECT_EQ(a.Next().state, TPacketAssembler::TState::NeedMore);
    a.Feed(p1.substr(45));
    const auto out = a.Next();
    ASSERT_EQ(out.state, TPacketAssembler::TState::Complete);
    EXPECT_EQ(out.block, p1.substr(40));
    EXPECT_FALSE(a.Holding());
  }
  {  // Two packets and the first 10 bytes of a third in one chunk: the
     // surplus starts the next packet and may be shorter than a header.
    TPacketAssembler a;
    a.Feed(p1 + p2 + p1.substr(0, 10));
    auto out = a.Next();
    ASSERT_EQ(out.state, TPacketAssembler::TState::Complete);
    EXPECT_EQ(out.block, p1.substr(40));
    out = a.Next();
    ASSERT_EQ(out.state, TPacketAssembler::TState::Complete);
    EXPECT_TRUE(out.header.Compressed());
    EXPECT_EQ(out.block, p2.substr(40));
    EXPECT_EQ(a.Next().state, TPacketAssembler::TState::NeedMore);
    EXPECT_EQ(a.Buffered(), 10u);
    a.Feed(p1.substr(10, 20));
    EXPECT_EQ(a.Next().state, TPacketAssembler::TState::NeedMore);
    a.Feed(p1.substr(30));
    out = a.Next();
    ASSERT_EQ(out.state, TPacketAssembler::TState::Complete);
    EXPECT_EQ(out.block, p1.substr(40));
  }
  {  // Surplus that is not a packet is refused when its header is complete.
    TPacketAssembler a;
    a.Feed(p1 + std::string(50, 'z'));
    EXPECT_EQ(a.Next().state, TPacketAssembler::TState::Complete);
    const auto out = a.Next();
    EXPECT_EQ(out.state, TPacketAssembler::TState::Rejected);
    EXPECT_EQ(out.reject, TPacketReject::StartMarker);
  }
}

TEST(ClientList, SnapshotRoundTripAndTruncation) {
  TClientList list;
  ASSERT_TRUE(list.Add(7, "127.0.0.1"));
  ASSERT_FALSE(list.Add(7, "127.0.0.2"));
  ASSERT_TRUE(list.Add(9, "2001:db8:1234:5678:9abc::1"));  // longer than the field
  ASSERT_TRUE(list.SetUserName(9, std::string(250, 'n')));
  TMemoryStream s;
  list.WriteSnapshot(s);
  EXPECT_EQ(s.Size(), 4 + 2 * kClientSnapshotEntrySize);
  const std::string bytes = s.Str();
  EXPECT_EQ(bytes.substr(0, 4), Le(2));
  EXPECT_EQ(bytes[4], '\0');  // not authenticated: empty name
  EXPECT_EQ(bytes.substr(4 + 201, 10),
            "\x09"
            "127.0.0.1");
  EXPECT_EQ(bytes.substr(4 + 222, 4), Le(7));

  s.Seek(0);
  std::vector<TClientSnapshotEntry> back;
  ASSERT_TRUE(ReadClientSnapshot(s, back));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0], (TClientSnapshotEntry{"", "127.0.0.1", 7}));
  EXPECT_EQ(back[1], (TClientSnapshotEntry{std::string(200, 'n'), "2001:db8:1234:5678:9", 9}));

  for (size_t cut : {size_t(0), size_t(3), size_t(4), size_t(4 + 100), bytes.size() - 1}) {
    SCOPED_TRACE(cut);
    TMemoryStream t(std::string_view(bytes).substr(0, cut));
    std::string error;
    EXPECT_FALSE(ReadClientSnapshot(t, back, &error));
    EXPECT_EQ(error, kErrClientListLoad);
  }
}

TEST(ClientList, ChatQueues) {
  TClientList list;
  list.Add(1, "a");
  list.Add(2, "b");
  list.ClientChat(1, "[alice] hi");
  list.BroadcastOperatorMessage("restart soon");
  EXPECT_EQ(list.TakeClientChat(1), (std::vector<std::string>{"[Kelvandrome] restart soon"}));
  EXPECT_EQ(list.TakeClientChat(2), (std::vector<std::string>{"[alice] hi", "[Kelvandrome] restart soon"}));
  EXPECT_TRUE(list.TakeClientChat(2).empty());
  list.ClientChat(2, "[bob] yo");
  EXPECT_EQ(list.TakeServerChatLog(), "[alice] hi\r\n[bob] yo");
  EXPECT_EQ(list.TakeServerChatLog(), "");

  for (int i = 0; i < 600; ++i) list.AddPlayerChat("line " + std::to_string(i));
  const auto lines = list.TakePlayerChat(1);
  ASSERT_EQ(lines.size(), 500u);
  EXPECT_EQ(lines.front(), "line 100");
  EXPECT_EQ(lines.back(), "line 599");
  EXPECT_EQ(list.TakePlayerChat(2).size(), 500u);
  EXPECT_TRUE(list.TakePlayerChat(1).empty());
  EXPECT_TRUE(list.TakePlayerChat(42).empty());
}

}  // namespace
}  // namespace kv
