#include "remoteadmin/commands.h"

#include <algorithm>
#include <exception>

#include "core/bus.h"
#include "core/datafiles.h"
#include "core/regional.h"
#include "domain/domain.h"
#include "domain/events.h"
#include "domain/serverinfo.h"
#include "domain/userlist.h"
#include "enforcement/banlist.h"
#include "enforcement/kicks.h"
#include "gamelink/console.h"
#include "gamelink/rcon.h"
#include "players/history_record.h"
#include "players/history_store.h"
#include "remoteadmin/server.h"

namespace kv {

const std::array<const char*, kRemoteCommandCount> kRemoteCommandNames = {
    "None",
    "Get BanList",
    "Add Ban",
    "Del Ban",
    "Get playing Users",
    "Send Message",
    "KickUser",
    "Get Connected Clients",
    "ClientChat",
    "Get Client Users",
    "Get Client User-Data",
    "Del Client User",
    "Add Client User",
    "Update Client User",
    "Add Client User Rights",
    "Del Client User Rights",
    "ServerConfig GetConfigs",
    "ServerConfig activate Config",
    "ServerConfig GetConfigSettings",
    "ServerConfig AddConfig",
    "ServerConfig UpdateConfig",
    "ServerConfig DelConfig",
    "Execute RCON Command",
    "Get Skin List",
    "Set Skin List",
    "Add Skin to List",
    "Get Users from History",
    "Get Userhistroy Entry",
    "See Chat from Players",
    "Kick Kelvandrome Client",
    "ServerConfig Cancel Setup",
    "Del ACBan",
    "Add ACBan",
    "None",
    "AntiCheat Login",
    "AntiCheat SysInfo",
    "AntiCheat ProcessList",
    "AntiCheat MohDirData",
    "AntiCheat ScreenShot",
    "AntiCheat ConfigFile",
    "AntiCheat GetServerConfig",
    "AntiCheat Idle",
    "AntiCheat ACDirData",
};

std::string_view RemoteCommandName(int32_t command_type) {
  const int n = command_type & 0xFF;
  return n < kRemoteCommandCount ? kRemoteCommandNames[static_cast<size_t>(n)] : std::string_view();
}

int RemoteCommandNumber(std::string_view name) {
  const TAccessListEntry probe{"", "", "", {std::string(name)}};
  // The first 33 names hold "None" once; the anti-cheat "None" is the same right.
  for (int i = 0; i < kRemoteCommandCount; ++i)
    if (probe.HasRight(kRemoteCommandNames[static_cast<size_t>(i)])) return i;
  return -1;
}

std::vector<std::string> GrantableRights() {
  return {kRemoteCommandNames.begin() + 1, kRemoteCommandNames.begin() + 33};
}

std::string CommaText(const std::vector<std::string>& items) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ',';
    const std::string& s = items[i];
    const bool quote = std::any_of(s.begin(), s.end(), [](char ch) {
      return static_cast<unsigned char>(ch) <= ' ' || ch == ',' || ch == '"';
    });
    if (!quote) {
      out += s;
      continue;
    }
    out += '"';
    for (char ch : s) {
      if (ch == '"') out += '"';
      out += ch;
    }
    out += '"';
  }
  return out;
}

std::vector<std::string> SplitCommaText(std::string_view text) {
  std::vector<std::string> items;
  size_t i = 0;
  while (i <= text.size() && !text.empty()) {
    std::string item;
    if (i < text.size() && text[i] == '"') {
      for (++i; i < text.size(); ++i) {
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            item += '"';
            ++i;
            continue;
          }
          ++i;
          break;
        }
        item += text[i];
      }
      while (i < text.size() && text[i] != ',') ++i;
    } else {
      const size_t end = std::min(text.find(',', i), text.size());
      item = std::string(text.substr(i, end - i));
      i = end;
    }
    items.push_back(std::move(item));
    if (i >= text.size()) break;
    ++i;  // the comma
    if (i == text.size()) {
      items.emplace_back();  // a trailing comma ends with an empty item
      break;
    }
  }
  return items;
}

namespace {

std::string Text(const TVarList& params, std::string_view name, std::string def = {}) {
  TVariant v;
  return params.TryGetValue(name, v) && !v.IsEmptyOrNull() ? v.AsString() : def;
}

int32_t Int(const TVarList& params, std::string_view name, int32_t def) {
  TVariant v;
  return params.TryGetValue(name, v) && !v.IsEmptyOrNull() ? v.AsInteger() : def;
}

bool Bool(const TVarList& params, std::string_view name) {
  TVariant v;
  return params.TryGetValue(name, v) && !v.IsEmptyOrNull() && v.AsBool();
}

std::string Lines(const std::vector<std::string>& lines) {
  TMemoryStream s;
  WriteTextLines(s, lines);
  return s.Str();
}

std::vector<std::string> SplitReplyLines(const std::string& text) {
  TMemoryStream s(text);
  return ReadTextLines(s);
}

}  // namespace

// One request as it runs: who asked, what, and the reply and event being
// built.
struct TRemoteCommandHandler::TCall {
  TRemoteSession& session;
  const TServerPacket& request;
  TServerPacket& reply;
  const TVarList& params;
  std::string user;
  std::vector<std::string> rights;  // the caller's, copied under the account lock
  int number = 0;
  std::string name;
  std::shared_ptr<TMohaaEvent> event;

  bool Holds(std::string_view right) const { return TAccessListEntry{"", "", "", rights}.HasRight(right); }
  void Succeed() { reply.result = 0; }
  void Data(std::string bytes) { reply.data = std::move(bytes); }
  void AddText(const std::string& more) { event->text += more; }
};

const std::array<TRemoteCommandHandler::TCommandFn, kRemoteCommandCount> TRemoteCommandHandler::kCommands =
    [] {
      using H = TRemoteCommandHandler;
      std::array<TCommandFn, kRemoteCommandCount> t{};
      t.fill(&H::CmdNone);  // 0, 28 and the anti-cheat client's commands do nothing
      t[1] = &H::CmdGetBanList;
      t[2] = &H::CmdAddBan;
      t[3] = &H::CmdDelBan;
      t[4] = &H::CmdPlayingUsers;
      t[5] = &H::CmdSendMessage;
      t[6] = &H::CmdKickUser;
      t[7] = &H::CmdConnectedClients;
      t[8] = &H::CmdClientChat;
      t[9] = &H::CmdClientUsers;
      t[10] = &H::CmdClientUserData;
      t[11] = &H::CmdDelClientUser;
      t[12] = &H::CmdAddClientUser;
      t[13] = &H::CmdUpdateClientUser;
      t[14] = &H::CmdSuccess;
      t[15] = &H::CmdSuccess;
      t[16] = &H::CmdGetConfigs;
      t[17] = &H::CmdActivateConfig;
      t[18] = &H::CmdGetConfigSettings;
      t[19] = &H::CmdAddConfig;
      t[20] = &H::CmdUpdateConfig;
      t[21] = &H::CmdDelConfig;
      t[22] = &H::CmdRcon;
      t[23] = &H::CmdGetSkins;
      t[24] = &H::CmdSetSkins;
      t[25] = &H::CmdAddSkin;
      t[26] = &H::CmdHistoryNicks;
      t[27] = &H::CmdHistoryEntry;
      t[29] = &H::CmdKickClient;
      t[30] = &H::CmdCancelSetup;
      t[31] = &H::CmdDelAcBan;
      t[32] = &H::CmdAddAcBan;
      return t;
    }();

TRemoteCommandHandler::TRemoteCommandHandler(TAccountTable& accounts, TLoginThrottle& throttle,
                                             TRemoteCommandTargets targets)
    : accounts_(accounts), throttle_(throttle), targets_(std::move(targets)) {}

void TRemoteCommandHandler::Reject(TRemoteSession& session, TServerPacket& reply,
                                   const std::string& event_text, const std::string& error) {
  (void)session;
  PostEvent(std::make_shared<TMohaaEvent>(ekRemoteConnection, event_text));
  reply.parameters.emplace();
  reply.parameters->SetValue("Error", error);
  reply.result = -1;
}

bool TRemoteCommandHandler::Admit(TRemoteSession& session, const TServerPacket& request, TServerPacket& reply,
                                  TCall& call) {
  const std::string& addr = session.address;
  if (!request.parameters) {
    Reject(session, reply, "malformed Packet (no VarList): " + addr, "malformed Packet (no VarList)");
    return false;
  }
  const TVarList& params = *request.parameters;
  TVariant user_value, pass_value;
  if (!params.TryGetValue("_ConnectionUserName", user_value) ||
      !params.TryGetValue("_ConnectionUserPass", pass_value)) {
    Reject(session, reply, "malformed Packet (no UserInfos): " + addr, "malformed Packet (no UserInfos)");
    return false;
  }
  const std::string user = user_value.AsString();
  const std::string pass = pass_value.AsString();
  // An address that guessed too often learns nothing more, not even
  // whether a name exists.
  if (throttle_.Refused(addr)) {
    Reject(session, reply, "User [" + user + "] refused after too many failed logins : " + addr,
           "too many failed logins, try again later");
    return false;
  }
  auto failed_login = [&] {
    if (throttle_.RecordFailure(addr))
      PostGlobal("Remote administration: " + addr + " refused for 60 seconds after " +
                     std::to_string(TLoginThrottle::kFailures) + " failed logins within a minute",
                 mlError);
  };
  auto found = accounts_.FindAccount(user);
  if (!found) {
    found.Release();
    failed_login();
    Reject(session, reply, "User [" + user + "] not found : " + addr, "User not Found");
    return false;
  }
  if (!found->address_filter.empty() && !AddressAllowed(found->address_filter, addr)) {
    found.Release();
    Reject(session, reply, "User [" + user + "] has invalid ip : " + addr, "User has invalid ip");
    return false;
  }
  if (!PasswordsEqual(found->password, pass)) {
    found.Release();
    failed_login();
    Reject(session, reply, "User [" + user + "] wrong Password : " + addr, "check Password");
    return false;
  }
  call.rights = found->rights;
  found.Release();  // the account lock is a leaf: nothing else is taken under it
  throttle_.RecordSuccess(addr);
  session.clients.SetUserName(session.connection, user.substr(0, kClientUserNameMax));
  call.user = user;
  call.number = request.command_type & 0xFF;
  call.name = std::string(RemoteCommandName(request.command_type));
  if (call.name.empty() || !call.Holds(call.name)) {
    const std::string shown = call.name.empty() ? std::to_string(call.number) : call.name;
    Reject(session, reply, "User [" + user + "] no enough right to execute [" + shown + "] : " + addr,
           "not enough rights for Command: " + shown);
    return false;
  }
  return true;
}

void TRemoteCommandHandler::DeliverChat(TRemoteSession& session, bool see_player_chat, TServerPacket& reply) {
  auto client_chat = session.clients.TakeClientChat(session.connection);
  std::vector<std::string> player_chat;
  if (see_player_chat) player_chat = session.clients.TakePlayerChat(session.connection);
  if (client_chat.empty() && player_chat.empty()) return;
  if (!reply.parameters) reply.parameters.emplace();
  if (!client_chat.empty()) reply.parameters->SetValue("_ChatLog", CommaText(client_chat));
  if (!player_chat.empty()) reply.parameters->SetValue("_UserChatLog", CommaText(player_chat));
}

TServerPacket TRemoteCommandHandler::Handle(TRemoteSession& session, const TServerPacket& request) {
  TServerPacket reply;
  reply.command_type = 0;
  reply.result = -1;
  reply.connection = session.connection;
  static const TVarList kNoParams;
  TCall call{session, request, reply, request.parameters ? *request.parameters : kNoParams, {}, {},
             0,       {},      {}};
  try {
    if (!Admit(session, request, reply, call)) return reply;
    call.event = std::make_shared<TMohaaEvent>(ekRemoteCommand,
                                               "[" + session.address + ":" + call.user + "] " + call.name);
    call.event->variables.SetValue("User", call.user);
    call.event->variables.SetValue("IP", session.address);
    call.event->variables.SetValue("Command", call.name);
    call.event->variables.SetValue("CommandType", request.command_type);
    try {
      (this->*kCommands[static_cast<size_t>(call.number)])(call);
    } catch (const std::exception& e) {
      PostGlobal("Exception on Client Command: " + call.event->text, mlError);
      (void)e;
    }
    PostEvent(call.event);
    DeliverChat(session, call.Holds(kRightSeePlayerChat), reply);
  } catch (const std::exception& e) {
    PostGlobal(std::string("Exception TMohaaServer.ServerFunctionality: ") + e.what(), mlError);
  }
  return reply;
}

void TRemoteCommandHandler::ServerFunctionality(TRemoteAdminServer& server, int32_t connection,
                                                TServerPacket& request) {
  TRemoteSession session{
      server.Clients(), connection, request.peer_address,
      [&server](int32_t c, std::string_view reason) { return server.KickClient(c, reason); }};
  const TServerPacket reply = Handle(session, request);
  if (session.closed)
    PostGlobal("Exception on Client send result: the connection was closed by its own request", mlWarning);
  else if (!server.SendRecord(connection, reply))
    PostGlobal("Exception on Client send result: the connection is closed", mlWarning);
}

bool TRemoteCommandHandler::MayManage(const TCall& c, const std::vector<std::string>& rights,
                                      std::string& missing) {
  for (const auto& r : rights)
    if (!c.Holds(r)) {
      missing = r;
      return false;
    }
  return true;
}

void TRemoteCommandHandler::CmdNone(TCall&) {}
void TRemoteCommandHandler::CmdSuccess(TCall& c) { c.Succeed(); }

void TRemoteCommandHandler::CmdGetBanList(TCall& c) {
  if (!targets_.bans) return;
  TMemoryStream s;
  targets_.bans->Save(s);
  c.Data(s.Str());
  c.Succeed();
}

void TRemoteCommandHandler::CmdAddBan(TCall& c) {
  const std::string user = Text(c.params, "User"), ip = Text(c.params, "Ip"), msg = Text(c.params, "Msg");
  const bool set_date = Bool(c.params, "SetDate");
  if (set_date) {
    const double end = c.params.GetValue("Date").AsDouble();
    c.AddText(": User:" + user + " IP:" + ip + " Date:" + regional::DateTimeToStr(end) + " Msg:" + msg);
    if (!targets_.bans) return;
    targets_.bans->AddBanUntil(user, ip, msg, end);
  } else {
    const int32_t minutes = Int(c.params, "Date", 0);
    c.AddText(": User:" + user + " IP:" + ip + " Time:" + Text(c.params, "Date") + " Msg:" + msg);
    if (!targets_.bans) return;
    targets_.bans->AddBan(user, ip, msg, minutes);
  }
  c.Succeed();
}

void TRemoteCommandHandler::CmdDelBan(TCall& c) {
  const std::string user = Text(c.params, "User"), ip = Text(c.params, "Ip");
  c.AddText(": User:" + user + " IP:" + ip);
  if (!targets_.bans) return;
  targets_.bans->RemoveBan(user, ip);
  c.Succeed();
}

void TRemoteCommandHandler::CmdPlayingUsers(TCall& c) {
  if (!targets_.server) return;
  if (const auto list = targets_.server->players.Snapshot()) {
    TMemoryStream s;
    WriteUserList(*list, &s);
    c.Data(s.Str());
  }
  c.Succeed();
}

void TRemoteCommandHandler::CmdSendMessage(TCall& c) {
  const std::string msg = Text(c.params, "Msg");
  if (msg.empty()) {
    c.AddText(": Emtpy Message not sended");
    return;
  }
  c.AddText(": " + msg);
  c.event->variables.SetValue("Chat", msg);
  if (!targets_.server) return;
  // Sent at once: "Delay" and "Repeat" would only matter to a background
  // sender. Whether the server took it does not change the answer.
  SendConsoleMessage(*targets_.server, msg, false, false, false, {}, Int(c.params, "ClientID", -1));
  c.Succeed();
}

void TRemoteCommandHandler::CmdKickUser(TCall& c) {
  const std::string msg = Text(c.params, "Msg");
  const int32_t client = Int(c.params, "ClientID", -1);
  c.AddText(": ClientID: " + std::to_string(client) + " Reason: " + msg);
  if (!targets_.kicks) return;
  targets_.kicks->AddKickThread(client, Int(c.params, "Repeat", 1), Int(c.params, "Delay", 0), {}, msg);
  c.Succeed();
}

void TRemoteCommandHandler::CmdConnectedClients(TCall& c) {
  TMemoryStream s;
  c.session.clients.WriteSnapshot(s);
  c.Data(s.Str());
  c.Succeed();
}

void TRemoteCommandHandler::CmdClientChat(TCall& c) {
  TVariant message;
  if (c.params.TryGetValue("_ClientChatMessage", message)) {
    const std::string text = message.AsString();
    c.AddText(": User: " + c.user + " Message: " + text);
    c.session.clients.ClientChat(c.session.connection, "[" + c.user + "] " + text);
  }
  c.Succeed();
}

void TRemoteCommandHandler::CmdClientUsers(TCall& c) {
  c.Data(Lines(accounts_.AccountNames()));
  c.Succeed();
}

void TRemoteCommandHandler::CmdClientUserData(TCall& c) {
  auto found = accounts_.FindAccount(Text(c.params, "UserName"));
  std::string missing;
  // The record holds the password: an account that could do more than the
  // caller is not shown to him.
  if (!found || !MayManage(c, found->rights, missing)) return;
  c.Data(AccountRecordBytes(*found));
  c.Succeed();
}

void TRemoteCommandHandler::CmdDelClientUser(TCall& c) {
  const std::string name = Text(c.params, "UserName");
  auto found = accounts_.FindAccount(name);
  std::string missing;
  if (!found || !MayManage(c, found->rights, missing)) return;
  if (!accounts_.DeleteAccount(name)) return;
  c.Succeed();
  found.Release();
  if (targets_.accounts_changed) targets_.accounts_changed();
}

namespace {
// The record of a request's data block; none when there is none or it is damaged.
std::optional<TAccessListEntry> RecordOf(const TServerPacket& request) {
  if (!request.data) return std::nullopt;
  TMemoryStream s(*request.data);
  try {
    return ReadAccountRecord(s, s.Size());
  } catch (const EStreamError&) {
    return std::nullopt;
  }
}
}  // namespace

void TRemoteCommandHandler::CmdAddClientUser(TCall& c) {
  const auto record = RecordOf(c.request);
  std::string missing;
  if (!record) return;
  if (!MayManage(c, record->rights, missing)) {
    c.reply.parameters.emplace();
    c.reply.parameters->SetValue("Error", "not enough rights to grant: " + missing);
    return;
  }
  if (!accounts_.AddAccount(*record)) return;
  c.Succeed();
  if (targets_.accounts_changed) targets_.accounts_changed();
}

void TRemoteCommandHandler::CmdUpdateClientUser(TCall& c) {
  const auto record = RecordOf(c.request);
  std::string missing;
  if (!record) return;
  auto found = accounts_.FindAccount(record->user_name);
  if (!found) return;
  if (!MayManage(c, found->rights, missing) || !MayManage(c, record->rights, missing)) {
    c.reply.parameters.emplace();
    c.reply.parameters->SetValue("Error", "not enough rights to grant: " + missing);
    return;
  }
  if (!accounts_.ReplaceAccount(*record)) return;
  c.Succeed();
  found.Release();
  if (targets_.accounts_changed) targets_.accounts_changed();
}

void TRemoteCommandHandler::CmdGetConfigs(TCall& c) {
  if (!targets_.configs) return;
  c.Data(Lines(targets_.configs->Names()));
  c.Succeed();
}

void TRemoteCommandHandler::CmdActivateConfig(TCall& c) {
  if (targets_.configs && targets_.configs->Activate(Text(c.params, "Config"))) c.Succeed();
}

void TRemoteCommandHandler::CmdGetConfigSettings(TCall& c) {
  if (!targets_.configs) return;
  if (auto settings = targets_.configs->Settings(Text(c.params, "Config"))) {
    c.Data(std::move(*settings));
    c.Succeed();
  }
}

namespace {
std::optional<TVarList> VarListOf(const TServerPacket& request) {
  if (!request.data) return std::nullopt;
  TMemoryStream s(*request.data);
  TVarList list;
  list.LoadFromStream(s);
  return list;
}
}  // namespace

void TRemoteCommandHandler::CmdAddConfig(TCall& c) {
  if (!targets_.configs) return;
  if (const auto values = VarListOf(c.request); values && targets_.configs->Add(*values)) c.Succeed();
}

void TRemoteCommandHandler::CmdUpdateConfig(TCall& c) {
  if (!targets_.configs) return;
  if (const auto values = VarListOf(c.request); values && targets_.configs->Update(*values)) c.Succeed();
}

void TRemoteCommandHandler::CmdDelConfig(TCall& c) {
  if (targets_.configs && targets_.configs->Delete(Text(c.params, "Config"))) c.Succeed();
}

void TRemoteCommandHandler::CmdCancelSetup(TCall& c) {
  if (targets_.configs && targets_.configs->CancelSetup()) c.Succeed();
}

void TRemoteCommandHandler::CmdRcon(TCall& c) {
  if (!targets_.server) return;
  const std::string answer = SendMohaMessage(*targets_.server, Text(c.params, "Command"));
  c.Data(Lines(SplitReplyLines(answer)));
  c.Succeed();
}

void TRemoteCommandHandler::CmdGetSkins(TCall& c) {
  if (!targets_.skins) return;
  c.Data(Lines(targets_.skins->Skins()));
  c.Succeed();
}

void TRemoteCommandHandler::CmdSetSkins(TCall& c) {
  if (!targets_.skins) return;
  targets_.skins->Replace(c.request.data ? SplitReplyLines(*c.request.data) : std::vector<std::string>{});
  c.Succeed();
}

void TRemoteCommandHandler::CmdAddSkin(TCall& c) {
  if (!targets_.skins) return;
  targets_.skins->Add(Text(c.params, "Skin"));
  c.Succeed();
}

void TRemoteCommandHandler::CmdHistoryNicks(TCall& c) {
  if (!targets_.history) return;
  c.Data(Lines(targets_.history->KnownNicks()));
  c.Succeed();
}

void TRemoteCommandHandler::CmdHistoryEntry(TCall& c) {
  if (!targets_.history) return;
  const auto history = targets_.history->GetUserEntry(Text(c.params, "Nick"));
  if (!history) return;
  TMemoryStream s;
  {
    // The record is written without its own lock: the store's keeps the
    // writers away meanwhile.
    TRecursiveLockGuard lock(targets_.history->StoreLock());
    WriteHistoryRecord(s, *history);
  }
  c.Data(s.Str());
  c.Succeed();
}

void TRemoteCommandHandler::CmdKickClient(TCall& c) {
  TVariant socket;
  if (!c.params.TryGetValue("ClientSocket", socket) || !c.session.kick_client) return;
  // The answer stays "failed" as existing clients expect; the kick happens.
  const int32_t target = socket.AsInteger();
  if (c.session.kick_client(target, "Kick requested from Kelvandrome Client " + c.user) &&
      target == c.session.connection)
    c.session.closed = true;
}

void TRemoteCommandHandler::CmdDelAcBan(TCall& c) {
  const std::string id = Text(c.params, "ACID");
  c.AddText(": User ACID:" + id);
  if (!targets_.bans) return;
  targets_.bans->RemoveIdBan(id);
  c.Succeed();
}

void TRemoteCommandHandler::CmdAddAcBan(TCall& c) {
  const std::string id = Text(c.params, "ACID"), msg = Text(c.params, "Msg");
  if (Bool(c.params, "SetDate")) {
    const double end = c.params.GetValue("Date").AsDouble();
    c.AddText(": User ACID:" + id + " Date:" + regional::DateTimeToStr(end) + " Msg:" + msg);
    if (!targets_.bans) return;
    targets_.bans->AddIdBanUntil(id, msg, end);
  } else {
    c.AddText(": User ACID:" + id + " Time:" + Text(c.params, "Date") + " Msg:" + msg);
    if (!targets_.bans) return;
    targets_.bans->AddIdBan(id, Int(c.params, "Date", 0), msg);
  }
  c.Succeed();
}

}  // namespace kv
