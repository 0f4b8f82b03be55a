// The remote-administration server over real TCP on loopback.
#include "remoteadmin/server.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "core/bus_scope.h"
#include "domain/domain.h"
#include "domain/events.h"
#include "remoteadmin/client.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/event_recorder.h"
#include "tests/support/sanitizers.h"
#include "tests/support/wait.h"

namespace kv {
namespace {

using testing::TBusRecorder;
using testing::TEventRecorder;
using testing::TRecordedMessage;

constexpr int64_t kWait = 5000;

std::string Le(int32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

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

// A whole packet around a plain block (check marker + body) of our making.
std::string Packet(const std::string& plain_block, uint32_t flag = 0,
                   TCipherPurpose purpose = TCipherPurpose::RemoteAdmin) {
  const std::string block = TCipher(purpose).EncipherBytes(plain_block);
  return Header("ZAQ_KV_Packet", "2.4", flag, uint32_t(block.size())) + block;
}

std::string Marker() {
  std::string m(21, '\0');
  m[0] = 17;
  m.replace(1, 17, "ZAQ_KV_TESTString");
  return m;
}

TServerPacket Request(int32_t command, std::string data = {}) {
  TServerPacket p;
  p.command_type = command;
  p.result = 0;
  p.parameters.emplace();
  p.parameters->SetValue("_User", "admin");
  if (!data.empty()) p.data = std::move(data);
  return p;
}

class RemoteServerTest : public ::testing::Test {
 protected:
  RemoteServerTest() : scope_({{"GLOBAL", kDataPointer}}) { RegisterSystemCategories(); }
  ~RemoteServerTest() override {
    if (server_) server_->Stop();
  }

  TRemoteAdminOptions Options() {
    TRemoteAdminOptions o;
    o.port = 0;
    o.bind_address = "127.0.0.1";
    o.clock = &clock_;
    o.traffic = &traffic_;
    o.idle_sweep_ms = 0;  // the tests sweep themselves
    return o;
  }

  // An echo handler: the reply carries the request's command as a
  // parameter and "echo:" + its data.
  void StartServer(TRemoteAdminOptions options) {
    server_ = std::make_unique<TRemoteAdminServer>(
        options, [this](TRemoteAdminServer& server, int32_t connection, TServerPacket& packet) {
          ++handled_;
          if (packet.command_type == 99) throw std::runtime_error("handler broke");
          TServerPacket reply;
          reply.command_type = 0;
          reply.result = 0;
          reply.parameters.emplace();
          reply.parameters->SetValue("Command", packet.command_type);
          reply.parameters->SetValue("Address", packet.peer_address);
          reply.data = "echo:" + packet.data.value_or("");
          server.SendRecord(connection, reply);
        });
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    ASSERT_NE(server_->Port(), 0);
  }
  void StartServer() { StartServer(Options()); }

  std::unique_ptr<TRemoteAdminClient> Connect() {
    auto client = std::make_unique<TRemoteAdminClient>();
    std::string error;
    EXPECT_TRUE(client->Connect("127.0.0.1", server_->Port(), kWait, &error)) << error;
    return client;
  }

  void RoundTrip(TRemoteAdminClient& client, int32_t command, const std::string& data = "x") {
    TServerPacket reply;
    std::string error;
    ASSERT_TRUE(client.Request(Request(command, data), reply, kWait, &error)) << error;
    EXPECT_EQ(reply.parameters->GetValue("Command").AsInteger(), command);
    EXPECT_EQ(reply.data, "echo:" + data);
  }

  bool EventText(const std::string& text) {
    return events_.WaitUntil([&](const TEventRecorder::TEvents& all) {
      for (const auto& e : all) {
        if (e->text == text) return true;
      }
      return false;
    });
  }

  TBusScope scope_;
  TBusRecorder global_{{"GLOBAL"}};
  TEventRecorder events_{ekRemoteConnection, ekKVClientKick};
  TManualClock clock_;
  TRemoteTraffic traffic_;
  std::atomic<int> handled_{0};
  std::unique_ptr<TRemoteAdminServer> server_;
};

TEST_F(RemoteServerTest, LifecycleListAndNotices) {
  StartServer();
  EXPECT_TRUE(global_.WaitForText("TGeneralMohaaServer Started"));
  auto a = Connect();
  auto b = Connect();
  ASSERT_TRUE(testing::WaitFor([&] { return server_->Clients().Count() == 2; }));
  EXPECT_TRUE(EventText("Client Connected: 127.0.0.1"));
  RoundTrip(*a, 5);
  TMemoryStream snapshot;
  server_->Clients().WriteSnapshot(snapshot);
  snapshot.Seek(0);
  std::vector<TClientSnapshotEntry> entries;
  ASSERT_TRUE(ReadClientSnapshot(snapshot, entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].user_name, "");  // nobody authenticated
  EXPECT_EQ(entries[0].address, "127.0.0.1");
  EXPECT_NE(entries[0].handle, entries[1].handle);

  b->Close();
  ASSERT_TRUE(testing::WaitFor([&] { return server_->Clients().Count() == 1; }));
  EXPECT_TRUE(EventText("Client Disconnected: 127.0.0.1"));

  // A second server cannot have the port: it says so and does not claim
  // to have started.
  TRemoteAdminOptions same = Options();
  same.port = server_->Port();
  TRemoteAdminServer second(same, {});
  ASSERT_TRUE(global_.Flush());
  const size_t started = global_.CountText("TGeneralMohaaServer Started");
  EXPECT_FALSE(second.Start());
  EXPECT_TRUE(global_.WaitFor([](const TRecordedMessage& m) {
    return m.level == 4 && m.text.rfind("TMohaaServer can not be started\r\n", 0) == 0;
  }));
  ASSERT_TRUE(global_.Flush());
  EXPECT_EQ(global_.CountText("TGeneralMohaaServer Started"), started);

  server_->Stop();
  EXPECT_TRUE(global_.WaitForText("TGeneralMohaaServer Stopped"));
  EXPECT_TRUE(a->WaitClosed(kWait));
  EXPECT_EQ(server_->Clients().Count(), 0u);
}

TEST_F(RemoteServerTest, CompressionBothWaysAndTheCounters) {
  StartServer();
  auto client = Connect();
  const std::string data(3000, 'q');  // compresses well
  struct TCase {
    bool server_compresses, client_compresses;
  } cases[] = {{false, false}, {false, true}, {true, false}, {true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.server_compresses) + std::to_string(c.client_compresses));
    traffic_.sent_raw = traffic_.sent_compressed = traffic_.received_raw = traffic_.received_compressed = 0;
    server_->SetCompression(c.server_compresses);
    client->SetCompression(c.client_compresses);
    RoundTrip(*client, 4, data);
    const uint64_t request_body = EncodeBody(Request(4, data)).size();
    EXPECT_EQ(traffic_.received_raw, request_body);
    if (c.client_compresses) {
      EXPECT_LT(traffic_.received_compressed, request_body / 10);
    } else {
      EXPECT_EQ(traffic_.received_compressed, request_body);
    }
    EXPECT_GT(traffic_.sent_raw, data.size());
    if (c.server_compresses) {
      EXPECT_LT(traffic_.sent_compressed, traffic_.sent_raw / 10);
    } else {
      EXPECT_EQ(traffic_.sent_compressed, traffic_.sent_raw);
    }
  }
  // The reply's flag follows the server's setting.
  server_->SetCompression(false);
  ASSERT_TRUE(client->SendRaw(EncodePacket(Request(4, "y"), false).bytes, kWait));
  TServerPacket reply;
  ASSERT_TRUE(client->ReadReply(reply, kWait));
  EXPECT_EQ(reply.parameters->GetValue("Address").AsString(), "127.0.0.1");
}

TEST_F(RemoteServerTest, MalformedPacketsAreReportedAndTheConnectionClosed) {
  StartServer();
  const std::string body = Le(1) + Le(0) + Le(0) + Le(0);
  struct TCase {
    const char* name;
    std::string bytes;
    std::string warning;
  } cases[] = {
      {"39-byte first chunk", Packet(Marker() + body).substr(0, 39),
       "WARNING: Client send non ZAQ Kelvandrome Packet (size) 127.0.0.1"},
      {"start marker", Header("ZAQ_KV_Packex", "2.4", 0, 0),
       "WARNING: Client send non ZAQ Kelvandrome Packet 127.0.0.1"},
      {"version", Header("ZAQ_KV_Packet", "2.3", 0, 0),
       "WARNING: Client send Kelvandrome Packet with Version: [2.3] but [2.4] is expected - 127.0.0.1"},
      {"block shorter than the marker", Packet(std::string(20, 'm')),
       "WARNING: mailformed Packet recieved (size)127.0.0.1"},
      {"another pass phrase", Packet(Marker() + body, 0, TCipherPurpose::Settings),
       "WARNING: mailformed Packet recieved (crypt) 127.0.0.1"},
      {"fields overrun the block", Packet(Marker() + Le(1) + Le(0) + Le(500) + "abc"),
       "WARNING: mailformed Packet recieved (body) 127.0.0.1"},
      {"body that does not decompress", Packet(Marker() + "\x07\x07\x07\x07\x07\x07", 1),
       "WARNING: mailformed Packet recieved (body) 127.0.0.1"},
      {"body expanding beyond the cap", Packet(Marker() + "\x01\x02\x03" + Le(0x7FFFFFFF), 1),
       "WARNING: Client send a Kelvandrome Packet that expands beyond the allowed size - 127.0.0.1"},
      {"block above the cap", Header("ZAQ_KV_Packet", "2.4", 0, kMaxPacketBlock + 1),
       "WARNING: Client announced a Kelvandrome Packet of 16777217 bytes, more than allowed - 127.0.0.1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto client = Connect();
    ASSERT_TRUE(client->SendRaw(c.bytes, kWait));
    EXPECT_TRUE(client->WaitClosed(kWait));
    EXPECT_TRUE(EventText(c.warning));
  }
  EXPECT_EQ(handled_, 0);
  // The server still serves.
  auto honest = Connect();
  RoundTrip(*honest, 1);
  ASSERT_TRUE(testing::WaitFor([&] { return server_->Clients().Count() == 1; }));
}

TEST_F(RemoteServerTest, HeaderFirstBlockLaterAndSurplusBytes) {
  StartServer();
  auto client = Connect();
  const std::string p = EncodePacket(Request(2, "split"), false).bytes;
  ASSERT_TRUE(client->SendRaw(p.substr(0, 40), kWait));
  RoundTrip(*Connect(), 9);  // the header has had its own read meanwhile
  ASSERT_TRUE(client->SendRaw(p.substr(40), kWait));
  TServerPacket reply;
  ASSERT_TRUE(client->ReadReply(reply, kWait));
  EXPECT_EQ(reply.data, "echo:split");

  // Two packets and the start of a third in one write: two replies in
  // order, the third once its rest arrives.
  const std::string a = EncodePacket(Request(11, "a"), false).bytes;
  const std::string b = EncodePacket(Request(12, "b"), true).bytes;
  const std::string c = EncodePacket(Request(13, "c"), false).bytes;
  ASSERT_TRUE(client->SendRaw(a + b + c.substr(0, 7), kWait));
  for (const char* expected : {"echo:a", "echo:b"}) {
    ASSERT_TRUE(client->ReadReply(reply, kWait));
    EXPECT_EQ(reply.data, expected);
  }
  ASSERT_TRUE(client->SendRaw(c.substr(7), kWait));
  ASSERT_TRUE(client->ReadReply(reply, kWait));
  EXPECT_EQ(reply.data, "echo:c");
  EXPECT_EQ(handled_, 5);
}

TEST_F(RemoteServerTest, IdleHalfPacketIsDroppedAfterTwentyMinutes) {
  StartServer();
  auto stalled = Connect();
  auto other = Connect();
  const std::string p = EncodePacket(Request(2, "late"), false).bytes;
  ASSERT_TRUE(stalled->SendRaw(p.substr(0, 50), kWait));
  RoundTrip(*other, 1);
  const std::string dropped =
      "TGeneralMohaaServer.IdTCPServerExecute - Connection StreamObject Deleted-Timeout";

  clock_.Advance(19 * 60 * 1000);
  RoundTrip(*other, 1);  // data arriving looks for idle buffers
  ASSERT_TRUE(global_.Flush());
  EXPECT_EQ(global_.CountText(dropped), 0u);

  clock_.Advance(2 * 60 * 1000);
  RoundTrip(*other, 1);
  EXPECT_TRUE(global_.WaitFor([&](const TRecordedMessage& m) { return m.text == dropped && m.level == 2; }));
  // The rest of the stale packet now starts a packet of its own: refused.
  ASSERT_TRUE(stalled->SendRaw(p.substr(50), kWait));
  EXPECT_TRUE(stalled->WaitClosed(kWait));
  EXPECT_EQ(handled_, 3);
}

// With no other traffic at all, the sweep timer finds the idle half-packet.
TEST_F(RemoteServerTest, SweepTimerDropsIdleHalfPacketsWithoutOtherTraffic) {
  TRemoteAdminOptions options = Options();
  options.idle_sweep_ms = 20;
  StartServer(options);
  auto stalled = Connect();
  const std::string p = EncodePacket(Request(2, "late"), false).bytes;
  ASSERT_TRUE(stalled->SendRaw(p.substr(0, 45), kWait));
  const std::string dropped =
      "TGeneralMohaaServer.IdTCPServerExecute - Connection StreamObject Deleted-Timeout";
  // Once the bytes have been read (they are, within a sweep or two), only
  // the clock decides.
  ASSERT_TRUE(global_.Flush());
  EXPECT_EQ(global_.CountText(dropped), 0u);
  int minutes = 0;
  EXPECT_TRUE(testing::WaitFor([&] {
    if (global_.CountText(dropped) > 0) return true;
    clock_.Advance(60 * 1000);
    ++minutes;
    return false;
  }));
  EXPECT_GE(minutes, 20);  // not before the time-out
  ASSERT_TRUE(global_.Flush());
  EXPECT_EQ(global_.CountText(dropped), 1u);  // said once, the buffer is gone
}

// A sweep that falls due just as the server stops must not keep the server
// from stopping. Each stop is timed on a thread of its own, so a stop that
// never ends fails the test instead of hanging it.
TEST_F(RemoteServerTest, StopEndsWhileTheSweepTimerFallsDue) {
  TRemoteAdminOptions options = Options();
  options.idle_sweep_ms = 1;
  for (int round = 0; round < 200; ++round) {
    StartServer(options);
    std::this_thread::sleep_for(std::chrono::microseconds(500 + round % 7 * 150));
    auto stopped = std::make_shared<std::promise<void>>();
    std::future<void> done = stopped->get_future();
    std::thread([server = server_.get(), stopped] {
      server->Stop();
      stopped->set_value();
    }).detach();
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      server_.release();  // still stopping on the detached thread: never destroyed
      FAIL() << "Stop did not end (round " << round << ")";
    }
    server_.reset();
  }
}

TEST_F(RemoteServerTest, DisabledServerAcceptsReportsAndCloses) {
  TRemoteAdminOptions options = Options();
  options.disabled = true;
  StartServer(options);
  auto client = Connect();
  EXPECT_TRUE(client->WaitClosed(kWait));
  EXPECT_TRUE(global_.WaitFor([](const TRecordedMessage& m) {
    return m.level == 2 && m.text == "TGeneralMohaaServer is down but connection Started from: 127.0.0.1";
  }));
  EXPECT_TRUE(EventText("Client Connected: 127.0.0.1"));
  EXPECT_TRUE(EventText("Client Disconnected: 127.0.0.1"));

  // Switched off while a client is connected: its next data closes it.
  server_->SetDisabled(false);
  auto later = Connect();
  RoundTrip(*later, 1);
  server_->SetDisabled(true);
  ASSERT_TRUE(later->SendRaw(EncodePacket(Request(1), false).bytes, kWait));
  EXPECT_TRUE(later->WaitClosed(kWait));
  EXPECT_TRUE(global_.WaitForText("TGeneralMohaaServer is down but data recieved from: 127.0.0.1"));
  EXPECT_EQ(handled_, 1);
}

TEST_F(RemoteServerTest, KickClientAndHandlerFailure) {
  StartServer();
  auto client = Connect();
  ASSERT_TRUE(testing::WaitFor([&] { return server_->Clients().Count() == 1; }));
  const int32_t handle = server_->Clients().Snapshot().at(0).handle;
  EXPECT_FALSE(server_->KickClient(handle + 1000, "nobody"));
  EXPECT_TRUE(server_->KickClient(handle, "too many requests"));
  EXPECT_TRUE(client->WaitClosed(kWait));
  EXPECT_TRUE(EventText("Socket: [" + std::to_string(handle) + "] Reason: too many requests"));
  const auto kicks = events_.Events();
  EXPECT_TRUE(
      std::any_of(kicks.begin(), kicks.end(), [](const auto& e) { return e->kind == ekKVClientKick; }));
  ASSERT_TRUE(testing::WaitFor([&] { return server_->Clients().Count() == 0; }));
  EXPECT_FALSE(server_->SendRecord(handle, TServerPacket{}));

  // A handler that throws costs its connection, not the server.
  auto broken = Connect();
  ASSERT_TRUE(broken->SendRaw(EncodePacket(Request(99), false).bytes, kWait));
  EXPECT_TRUE(broken->WaitClosed(kWait));
  EXPECT_TRUE(global_.WaitFor([](const TRecordedMessage& m) {
    return m.level == 3 && m.text == "GeneralMohaaServer.IdTCPServerException Error: handler broke";
  }));
  RoundTrip(*Connect(), 1);
}

TEST_F(RemoteServerTest, ConnectionsBeyondTheLimitAreRefusedAndSaidOncePerBurst) {
  TRemoteAdminOptions options = Options();
  options.max_connections = 3;
  StartServer(options);
  std::vector<std::unique_ptr<TRemoteAdminClient>> open;
  for (int i = 0; i < 3; ++i) open.push_back(Connect());
  ASSERT_TRUE(testing::WaitFor([&] { return server_->Clients().Count() == 3; }));
  for (int i = 0; i < 4; ++i) {
    auto refused = Connect();
    EXPECT_TRUE(refused->WaitClosed(kWait));
  }
  RoundTrip(*open[0], 1);  // the open ones are served meanwhile
  ASSERT_TRUE(global_.Flush());
  const auto count_level = [&](uint8_t level, const std::string& prefix) {
    size_t n = 0;
    for (const auto& m : global_.Messages()) n += m.level == level && m.text.rfind(prefix, 0) == 0;
    return n;
  };
  EXPECT_EQ(count_level(3, "TGeneralMohaaServer refuses connections: 3 are open"), 1u);
  EXPECT_EQ(server_->Clients().Count(), 3u);

  open.pop_back();
  ASSERT_TRUE(testing::WaitFor([&] { return server_->Clients().Count() == 2; }));
  auto next = Connect();
  RoundTrip(*next, 1);
  EXPECT_TRUE(global_.WaitFor([](const TRecordedMessage& m) {
    return m.level == 2 && m.text == "TGeneralMohaaServer refused 4 connection(s) while 3 were open";
  }));
}

TEST_F(RemoteServerTest, AddressGateRefusesBeforeTheBlockIsDeciphered) {
  std::atomic<bool> refuse{false};
  std::atomic<int> asked{0};
  server_ = nullptr;
  TRemoteAdminOptions options = Options();
  auto gated = std::make_unique<TRemoteAdminServer>(
      options, [this](TRemoteAdminServer& server, int32_t connection, TServerPacket&) {
        ++handled_;
        TServerPacket reply;
        reply.result = 0;
        server.SendRecord(connection, reply);
      });
  gated->SetAddressGate([&](const std::string& address) {
    ++asked;
    return !(refuse && address == "127.0.0.1");
  });
  ASSERT_TRUE(gated->Start());
  TRemoteAdminClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", gated->Port(), kWait));
  TServerPacket reply;
  ASSERT_TRUE(client.Request(Request(1), reply, kWait));
  EXPECT_EQ(asked, 1);
  refuse = true;
  const uint64_t received = traffic_.received_compressed;
  ASSERT_TRUE(client.SendRaw(EncodePacket(Request(2), false).bytes, kWait));
  EXPECT_TRUE(client.WaitClosed(kWait));
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(handled_, 1);
  EXPECT_EQ(traffic_.received_compressed, received);  // nothing deciphered
  gated->Stop();
}

// Out of descriptors: accepting fails, is said once, and is tried again
// without spinning; once descriptors are free the waiting client is served.
using testing::kSanitized;

TEST_F(RemoteServerTest, AcceptFailureIsReportedOnceAndRecovers) {
  // The sanitizers' runtimes need descriptors of their own (UBSan opens a
  // pipe to check that an object's memory is readable) and report every
  // dynamic type as invalid when there is none left; the plain build runs it.
  if (kSanitized) GTEST_SKIP() << "runs out of descriptors on purpose, which the sanitizer runtimes need";
  StartServer();
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  // Descriptor numbers must stay below the limit: room for the client's
  // socket at the lowest free number, none for the server's accepted one.
  const int lowest_free = dup(0);
  ASSERT_GE(lowest_free, 0);
  close(lowest_free);
  rlimit tight = old;
  tight.rlim_cur = rlim_t(lowest_free) + 1;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  TRemoteAdminClient client;
  std::string error;
  const bool connected = client.Connect("127.0.0.1", server_->Port(), kWait, &error);
  const bool said = global_.WaitFor([](const TRecordedMessage& m) {
    return m.level == 3 && m.text.rfind("GeneralMohaaServer.IdTCPServerListenException Error: ", 0) == 0;
  });
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  ASSERT_TRUE(connected) << error;  // the kernel completed it; it waits in the backlog
  EXPECT_TRUE(said);
  RoundTrip(client, 1);
  ASSERT_TRUE(global_.Flush());
  size_t reports = 0;
  for (const auto& m : global_.Messages())
    reports += m.text.rfind("GeneralMohaaServer.IdTCPServerListenException", 0) == 0;
  EXPECT_EQ(reports, 1u);
}

}  // namespace
}  // namespace kv
