#include "remoteadmin/commands.h"

#include <gtest/gtest.h>

#include "core/bus_scope.h"
#include "core/clock.h"
#include "domain/domain.h"
#include "domain/events.h"
#include "enforcement/banlist.h"
#include "enforcement/kicks.h"
#include "remoteadmin/client.h"
#include "remoteadmin/server.h"
#include "tests/support/bus_recorder.h"
#include "tests/support/event_recorder.h"

namespace kv {
namespace {

using testing::TBusRecorder;
using testing::TEventRecorder;

constexpr int64_t kWait = 5000;

class TRecordingKicker : public TKicker {
 public:
  struct TKick {
    int32_t client, repetitions, delay;
    std::string message;
  };
  bool AddKickThread(int32_t client, int32_t repetitions, int32_t delay, const TReplaceArray&,
                     const std::string& message) override {
    std::lock_guard lock(mutex);
    kicks.push_back({client, repetitions, delay, message});
    return true;
  }
  bool IsKickPending(int32_t) const override { return false; }
  std::mutex mutex;
  std::vector<TKick> kicks;
};

// The handler behind a real server on a loopback port, reached by real
// clients; the ban list and time are the test's.
class RemoteCommandsTest : public ::testing::Test {
 protected:
  RemoteCommandsTest() {
    RegisterSystemCategories();
    accounts_.AddAccount({"admin", "pw", "", GrantableRights()});
    accounts_.AddAccount({"nobody", "pw", "", {}});
    accounts_.AddAccount({"keeper",
                          "pw",
                          "",
                          {"Get Client Users", "Get Client User-Data", "Add Client User",
                           "Update Client User", "Del Client User", "Get BanList"}});
    accounts_.AddAccount({"lan", "pw", "^10\\.", GrantableRights()});
    TRemoteCommandTargets targets;
    targets.bans = &bans_;
    targets.kicks = &kicker_;
    targets.accounts_changed = [this] { ++accounts_changed_; };
    handler_ = std::make_unique<TRemoteCommandHandler>(accounts_, throttle_, targets);
    TRemoteAdminOptions options;
    options.port = 0;
    options.bind_address = "127.0.0.1";
    options.clock = &clock_;
    server_ = std::make_unique<TRemoteAdminServer>(
        options, [this](TRemoteAdminServer& s, int32_t c, TServerPacket& p) {
          handler_->ServerFunctionality(s, c, p);
        });
    server_->SetAddressGate(
        [this](const std::string& address) { return accounts_.AnyAccountAllows(address); });
    std::string error;
    started_ = server_->Start(&error);
    EXPECT_TRUE(started_) << error;
  }
  ~RemoteCommandsTest() override { server_->Stop(); }

  std::unique_ptr<TRemoteAdminClient> Connect() {
    auto c = std::make_unique<TRemoteAdminClient>();
    std::string error;
    EXPECT_TRUE(c->Connect("127.0.0.1", server_->Port(), kWait, &error)) << error;
    return c;
  }

  static TServerPacket Request(int32_t type, const std::string& user, const std::string& pass,
                               TVarList params = {}, std::optional<std::string> data = std::nullopt) {
    params.SetValue("_ConnectionUserName", user);
    params.SetValue("_ConnectionUserPass", pass);
    TServerPacket p;
    p.command_type = type;
    p.parameters = std::move(params);
    p.data = std::move(data);
    return p;
  }

  TServerPacket Ask(TRemoteAdminClient& c, const TServerPacket& request) {
    TServerPacket reply;
    std::string error;
    EXPECT_TRUE(c.Request(request, reply, kWait, &error)) << error;
    return reply;
  }
  TServerPacket Ask(TRemoteAdminClient& c, int32_t type, const std::string& user, TVarList params = {},
                    std::optional<std::string> data = std::nullopt) {
    return Ask(c, Request(type, user, "pw", std::move(params), std::move(data)));
  }

  static std::string Param(const TServerPacket& p, const std::string& name) {
    TVariant v;
    return p.parameters && p.parameters->TryGetValue(name, v) ? v.AsString() : std::string("<none>");
  }

  static TVarList Vars(std::initializer_list<std::pair<const char*, TVariant>> values) {
    TVarList list;
    for (const auto& [n, v] : values) list.SetValue(n, v);
    return list;
  }

  TBusScope scope_{{{"GLOBAL", kDataPointer}}};
  TManualClock clock_{45000.0};
  TAccountTable accounts_;
  TLoginThrottle throttle_{clock_};
  TBanList bans_{clock_};
  TRecordingKicker kicker_;
  int accounts_changed_ = 0;
  std::unique_ptr<TRemoteCommandHandler> handler_;
  std::unique_ptr<TRemoteAdminServer> server_;
  bool started_ = false;
};

TEST_F(RemoteCommandsTest, RejectionsAnswerWithTheirErrorAndKeepTheConnection) {
  ASSERT_TRUE(started_);
  TEventRecorder events({ekRemoteConnection});
  auto c = Connect();
  TServerPacket no_list;
  no_list.command_type = 1;
  TServerPacket no_pass;
  no_pass.command_type = 1;
  no_pass.parameters.emplace();
  no_pass.parameters->SetValue("_ConnectionUserName", "admin");
  struct {
    TServerPacket request;
    const char* error;
    const char* event;
  } cases[] = {
      {no_list, "malformed Packet (no VarList)", "malformed Packet (no VarList): 127.0.0.1"},
      {no_pass, "malformed Packet (no UserInfos)", "malformed Packet (no UserInfos): 127.0.0.1"},
      {Request(1, "ghost", "pw"), "User not Found", "User [ghost] not found : 127.0.0.1"},
      {Request(1, "ADMIN", "pw"), "User not Found",
       "User [ADMIN] not found : 127.0.0.1"},  // names keep their case
      {Request(1, "lan", "pw"), "User has invalid ip", "User [lan] has invalid ip : 127.0.0.1"},
      {Request(1, "admin", "PW"), "check Password", "User [admin] wrong Password : 127.0.0.1"},
      {Request(1, "nobody", "pw"), "not enough rights for Command: Get BanList",
       "User [nobody] no enough right to execute [Get BanList] : 127.0.0.1"},
      {Request(43, "admin", "pw"), "not enough rights for Command: 43",
       "User [admin] no enough right to execute [43] : 127.0.0.1"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.error);
    const TServerPacket reply = Ask(*c, k.request);
    EXPECT_EQ(reply.result, -1);
    EXPECT_EQ(Param(reply, "Error"), k.error);
    EXPECT_FALSE(reply.data);
  }
  // The server reports the connection itself too; the rejections follow it.
  ASSERT_TRUE(events.WaitCount(std::size(cases) + 1, kWait));
  EXPECT_EQ(events.At(0)->text, "Client Connected: 127.0.0.1");
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(events.At(i + 1)->text, cases[i].event);
  // The rights were missing, yet the name was right: the client list shows it.
  const auto listed = server_->Clients().Snapshot();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].user_name, "admin");  // the last request that passed the password
  // Same connection, good request.
  EXPECT_EQ(Ask(*c, 1, "admin").result, 0);
}

TEST_F(RemoteCommandsTest, OnlyTheLowByteSelectsTheCommand) {
  ASSERT_TRUE(started_);
  bans_.AddBan("^Bad", "", "go", 0);
  auto c = Connect();
  const TServerPacket reply = Ask(*c, 257, "admin");
  EXPECT_EQ(reply.result, 0);
  TMemoryStream expected;
  bans_.Save(expected);
  EXPECT_EQ(reply.data, expected.Str());
}

TEST_F(RemoteCommandsTest, EventsCarryTextsAndValues) {
  ASSERT_TRUE(started_);
  TEventRecorder events({ekRemoteCommand});
  auto c = Connect();
  EXPECT_EQ(Ask(*c, 2, "admin",
                Vars({{"SetDate", false}, {"Date", 30}, {"Msg", "go"}, {"Ip", ""}, {"User", "^Bad"}}))
                .result,
            0);
  EXPECT_EQ(Ask(*c, 2, "admin",
                Vars({{"SetDate", true},
                      {"Date", TVariant::Date(45001.5)},
                      {"Msg", "m"},
                      {"Ip", "1\\.2"},
                      {"User", ""}}))
                .result,
            0);
  EXPECT_EQ(Ask(*c, 5, "admin", Vars({{"Msg", ""}})).result, -1);
  EXPECT_EQ(Ask(*c, 6, "admin", Vars({{"Msg", "bye"}, {"ClientID", 3}})).result, 0);
  EXPECT_EQ(Ask(*c, 3, "admin", Vars({{"User", "^Bad"}, {"Ip", ""}})).result, 0);
  ASSERT_TRUE(events.WaitCount(5, kWait));
  EXPECT_EQ(events.At(0)->text, "[127.0.0.1:admin] Add Ban: User:^Bad IP: Time:30 Msg:go");
  EXPECT_EQ(events.At(1)->text, "[127.0.0.1:admin] Add Ban: User: IP:1\\.2 Date:16.03.2023 12:00:00 Msg:m");
  EXPECT_EQ(events.At(2)->text, "[127.0.0.1:admin] Send Message: Emtpy Message not sended");
  EXPECT_EQ(events.At(3)->text, "[127.0.0.1:admin] KickUser: ClientID: 3 Reason: bye");
  EXPECT_EQ(events.At(4)->text, "[127.0.0.1:admin] Del Ban: User:^Bad IP:");
  const auto& v = events.At(0)->variables;
  EXPECT_EQ(v.GetValue("User").AsString(), "admin");
  EXPECT_EQ(v.GetValue("IP").AsString(), "127.0.0.1");
  EXPECT_EQ(v.GetValue("Command").AsString(), "Add Ban");
  EXPECT_EQ(v.GetValue("CommandType").AsInteger(), 2);
  // The 30-minute ban went, the dated one stays; the kick was handed on.
  const auto left = bans_.Entries();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].address_filter, "1\\.2");
  EXPECT_DOUBLE_EQ(left[0].end, 45001.5);
  ASSERT_EQ(kicker_.kicks.size(), 1u);
  EXPECT_EQ(kicker_.kicks[0].client, 3);
  EXPECT_EQ(kicker_.kicks[0].repetitions, 1);
  EXPECT_EQ(kicker_.kicks[0].delay, 0);
  EXPECT_EQ(kicker_.kicks[0].message, "bye");
}

TEST_F(RemoteCommandsTest, CommandsWithoutTheirPartFailQuietly) {
  ASSERT_TRUE(started_);
  auto c = Connect();
  // Configuration sets, skins, player list, rcon and history are not wired
  // in this fixture; 28 is a right only.
  for (int type : {16, 17, 18, 21, 23, 25, 30, 4, 22, 26, 27, 28}) {
    SCOPED_TRACE(type);
    const TServerPacket reply = Ask(*c, type, "admin", Vars({{"Config", "x"}, {"Skin", "s"}, {"Nick", "n"}}));
    EXPECT_EQ(reply.result, -1);
    EXPECT_FALSE(reply.data);
    EXPECT_EQ(Param(reply, "Error"), "<none>");
  }
  EXPECT_EQ(Ask(*c, 14, "admin").result, 0);  // accepted without effect
}

TEST_F(RemoteCommandsTest, ChatReachesOtherClientsWithTheirNextReply) {
  ASSERT_TRUE(started_);
  auto a = Connect();
  auto b = Connect();
  auto k = Connect();
  Ask(*b, 0, "admin");  // b and k are known to the list before the chat
  Ask(*k, 0, "keeper");
  EXPECT_EQ(Ask(*a, 8, "admin", Vars({{"_ClientChatMessage", "hello, all"}})).result, 0);
  server_->Clients().AddPlayerChat("[01.01.2024] Bob: gg");
  const TServerPacket to_b = Ask(*b, 28, "admin");
  EXPECT_EQ(to_b.result, -1);
  EXPECT_EQ(Param(to_b, "Error"), "<none>");
  EXPECT_EQ(Param(to_b, "_ChatLog"), "\"[admin] hello, all\"");
  EXPECT_EQ(Param(to_b, "_UserChatLog"), "\"[01.01.2024] Bob: gg\"");
  // Delivered once; the sender does not get his own line.
  EXPECT_EQ(Param(Ask(*b, 1, "admin"), "_ChatLog"), "<none>");
  EXPECT_EQ(Param(Ask(*a, 1, "admin"), "_ChatLog"), "<none>");
  // Without the right the player chat is not delivered (and stays queued).
  const TServerPacket to_k = Ask(*k, 1, "keeper");
  EXPECT_EQ(Param(to_k, "_ChatLog"), "\"[admin] hello, all\"");
  EXPECT_EQ(Param(to_k, "_UserChatLog"), "<none>");
  EXPECT_EQ(server_->TakeServerChatLog(), "[admin] hello, all");
}

TEST_F(RemoteCommandsTest, AccountManagementCannotGrantOrTouchMoreRights) {
  ASSERT_TRUE(started_);
  auto c = Connect();
  TMemoryStream names;
  EXPECT_EQ(Ask(*c, 9, "keeper").data, "admin\r\nnobody\r\nkeeper\r\nlan\r\n");
  // Reading, changing or deleting an account with rights the caller lacks.
  EXPECT_EQ(Ask(*c, 10, "keeper", Vars({{"UserName", "admin"}})).result, -1);
  EXPECT_EQ(Ask(*c, 11, "keeper", Vars({{"UserName", "admin"}})).result, -1);
  const TServerPacket take_over =
      Ask(*c, 13, "keeper", {}, AccountRecordBytes({"admin", "mine", "", GrantableRights()}));
  EXPECT_EQ(take_over.result, -1);
  // Granting a right the caller lacks, to a new or an existing account.
  const TServerPacket grant =
      Ask(*c, 12, "keeper", {}, AccountRecordBytes({"evil", "x", "", {"Execute RCON Command"}}));
  EXPECT_EQ(grant.result, -1);
  EXPECT_EQ(Param(grant, "Error"), "not enough rights to grant: Execute RCON Command");
  EXPECT_EQ(Ask(*c, 13, "keeper", {}, AccountRecordBytes({"nobody", "pw", "", {"KickUser"}})).result, -1);
  EXPECT_FALSE(accounts_.FindAccount("evil"));
  EXPECT_EQ(accounts_.FindAccount("admin")->password, "pw");
  EXPECT_EQ(accounts_changed_, 0);

  // Within his own rights he manages accounts.
  const TServerPacket record = Ask(*c, 10, "keeper", Vars({{"UserName", "nobody"}}));
  EXPECT_EQ(record.result, 0);
  EXPECT_EQ(record.data, AccountRecordBytes({"nobody", "pw", "", {}}));
  EXPECT_EQ(Ask(*c, 12, "keeper", {}, AccountRecordBytes({"helper", "h", "", {"get banlist"}})).result, 0);
  EXPECT_EQ(Ask(*c, 12, "keeper", {}, AccountRecordBytes({"helper", "other", "", {}})).result, -1);  // exists
  EXPECT_EQ(Ask(*c, 13, "keeper", {}, AccountRecordBytes({"ghost", "g", "", {}})).result, -1);       // none
  EXPECT_EQ(Ask(*c, 13, "keeper", {}, AccountRecordBytes({"nobody", "new", "", {"Get BanList"}})).result, 0);
  EXPECT_EQ(accounts_.AccountNames(),
            (std::vector<std::string>{"admin", "keeper", "lan", "helper", "nobody"}));
  EXPECT_EQ(Ask(*c, 11, "keeper", Vars({{"UserName", "helper"}})).result, 0);
  EXPECT_EQ(accounts_changed_, 3);
  // A damaged record is no account.
  EXPECT_EQ(Ask(*c, 12, "admin", {},
                std::string("\x03"
                            "abc",
                            4))
                .result,
            -1);
}

TEST_F(RemoteCommandsTest, FailedLoginsRefuseTheAddressForAMinute) {
  ASSERT_TRUE(started_);
  TBusRecorder bus({"GLOBAL"});
  auto c = Connect();
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(Param(Ask(*c, Request(1, "admin", "guess")), "Error"), "check Password");
  ASSERT_TRUE(bus.WaitFor(
      [](const auto& m) {
        return m.level == mlError && m.text.find("refused for 60 seconds") != std::string::npos;
      },
      kWait));
  // Even the right password is refused now, and nothing tells whether a name exists.
  EXPECT_EQ(Param(Ask(*c, 1, "admin"), "Error"), "too many failed logins, try again later");
  EXPECT_EQ(Param(Ask(*c, 1, "ghost"), "Error"), "too many failed logins, try again later");
  clock_.Advance(59'000);
  EXPECT_EQ(Ask(*c, 1, "admin").result, -1);
  clock_.Advance(1'000);
  EXPECT_EQ(Ask(*c, 1, "admin").result, 0);
}

TEST_F(RemoteCommandsTest, KickClientClosesTheOtherConnectionAndAnswersFailed) {
  ASSERT_TRUE(started_);
  auto victim = Connect();
  auto c = Connect();
  Ask(*victim, 0, "nobody");
  int32_t handle = -1;
  for (const auto& e : server_->Clients().Snapshot())
    if (e.user_name == "nobody") handle = e.handle;
  ASSERT_GE(handle, 0);
  const TServerPacket reply = Ask(*c, 29, "admin", Vars({{"ClientSocket", handle}}));
  EXPECT_EQ(reply.result, -1);
  EXPECT_TRUE(victim->WaitClosed(kWait));
}

TEST_F(RemoteCommandsTest, ErrorsInACommandOrItsReplyAreReported) {
  ASSERT_TRUE(started_);
  TBusRecorder bus({"GLOBAL"});
  TEventRecorder events({ekRemoteCommand});
  auto c = Connect();
  // A date that is no date: the command fails, the event still goes out.
  const TServerPacket reply =
      Ask(*c, 2, "admin",
          Vars({{"SetDate", true}, {"Date", "tomorrow"}, {"User", "x"}, {"Ip", ""}, {"Msg", ""}}));
  EXPECT_EQ(reply.result, -1);
  EXPECT_TRUE(bus.WaitFor(
      [](const auto& m) {
        return m.level == mlError && m.text == "Exception on Client Command: [127.0.0.1:admin] Add Ban";
      },
      kWait));
  ASSERT_TRUE(events.WaitCount(1, kWait));
  EXPECT_TRUE(bans_.Entries().empty());
  // Kicking its own connection: the kick happens, the reply has nowhere to go.
  Ask(*c, 0, "admin");
  int32_t own = server_->Clients().Snapshot().at(0).handle;
  TServerPacket unanswered;
  std::string error;
  EXPECT_FALSE(
      c->Request(Request(29, "admin", "pw", Vars({{"ClientSocket", own}})), unanswered, kWait, &error));
  EXPECT_TRUE(bus.WaitFor(
      [](const auto& m) { return m.text.rfind("Exception on Client send result: ", 0) == 0; }, kWait));
}

TEST_F(RemoteCommandsTest, AnAddressNoAccountAllowsGetsNoAnswer) {
  ASSERT_TRUE(started_);
  for (const char* name : {"admin", "nobody", "keeper"}) accounts_.DeleteAccount(name);
  // Only "lan" is left, for 10.x addresses.
  auto c = Connect();
  TServerPacket reply;
  std::string error;
  EXPECT_FALSE(c->Request(Request(1, "lan", "pw"), reply, kWait, &error));
  EXPECT_TRUE(c->WaitClosed(kWait));
  accounts_.AddAccount({"any", "pw", "127\\.0\\.0\\.1", {"Get BanList"}});
  auto again = Connect();
  EXPECT_EQ(Ask(*again, 1, "any").result, 0);
}

TEST(CommaText, QuotesWhatNeedsIt) {
  const std::vector<std::string> items = {"plain", "with blank", "a,b", "say \"hi\"", ""};
  const std::string text = CommaText(items);
  EXPECT_EQ(text, "plain,\"with blank\",\"a,b\",\"say \"\"hi\"\"\",");
  EXPECT_EQ(SplitCommaText(text), items);
}

TEST(RemoteCommandNames, TableAndRights) {
  EXPECT_EQ(RemoteCommandName(1), "Get BanList");
  EXPECT_EQ(RemoteCommandName(256 + 22), "Execute RCON Command");
  EXPECT_EQ(RemoteCommandName(42), "AntiCheat ACDirData");
  EXPECT_EQ(RemoteCommandName(43), "");
  EXPECT_EQ(RemoteCommandNumber("execute rcon command"), 22);
  EXPECT_EQ(GrantableRights().size(), 32u);
}

}  // namespace
}  // namespace kv
