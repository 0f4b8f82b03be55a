// The remote commands: every packet the wire layer accepts is checked
// (parameter list, account, address filter, password, the right for its
// command) and run here, reported on the bus as a "Remote Command" event,
// and answered with exactly one reply that also carries the chat lines
// waiting for the client. Nothing is remembered between packets apart from
// the client's user name and queues in the client list.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/varlist.h"
#include "remoteadmin/accounts.h"
#include "remoteadmin/accounts_throttle.h"
#include "remoteadmin/clients.h"
#include "remoteadmin/packet.h"

namespace kv {

class TBanList;
class TKicker;
class THUserList;
class TRemoteAdminServer;
class TMohaaServerInfo;

// The command numbers and names; the names are also the rights. Only the
// low byte of CommandType selects a command; a low byte above the table is
// refused like a missing right.
inline constexpr int kRemoteCommandCount = 43;
extern const std::array<const char*, kRemoteCommandCount> kRemoteCommandNames;
// The name of a CommandType's command; empty above the table.
std::string_view RemoteCommandName(int32_t command_type);
// The number of a command name (letter case ignored), -1 when unknown.
int RemoteCommandNumber(std::string_view name);
// The rights an account can usefully hold: the commands 1 to 32.
std::vector<std::string> GrantableRights();

inline constexpr const char* kRightSeePlayerChat = "See Chat from Players";

// Items joined by commas; an item holding a blank (or another control
// character), a comma or a quotation mark is quoted, inner quotes doubled.
std::string CommaText(const std::vector<std::string>& items);
std::vector<std::string> SplitCommaText(std::string_view text);

// Configuration sets as the remote commands reach them. Supplied by the
// service once that part exists; without it the commands answer as failed.
class TRemoteConfigSets {
 public:
  virtual ~TRemoteConfigSets() = default;
  virtual std::vector<std::string> Names() = 0;
  virtual bool Activate(const std::string& name) = 0;
  // The set's settings in their stream form; none when there is no such set.
  virtual std::optional<std::string> Settings(const std::string& name) = 0;
  virtual bool Add(const TVarList& values) = 0;
  virtual bool Update(const TVarList& values) = 0;  // "Name" names the set
  virtual bool Delete(const std::string& name) = 0;
  virtual bool CancelSetup() = 0;
};

// The skin check list as the remote commands reach it (same arrangement).
class TRemoteSkinList {
 public:
  virtual ~TRemoteSkinList() = default;
  virtual std::vector<std::string> Skins() = 0;
  virtual void Replace(const std::vector<std::string>& skins) = 0;
  virtual void Add(const std::string& skin) = 0;
};

// Everything the commands act on beyond the accounts and the clients. A
// missing part makes its commands answer as failed (Result -1, no data).
struct TRemoteCommandTargets {
  TMohaaServerInfo* server = nullptr;  // player list, console messages, rcon
  TBanList* bans = nullptr;
  TKicker* kicks = nullptr;
  THUserList* history = nullptr;
  std::shared_ptr<TRemoteConfigSets> configs;
  std::shared_ptr<TRemoteSkinList> skins;
  // Called after a remote command changed the accounts (to save them).
  std::function<void()> accounts_changed;
};

// The connection a packet came from, as the handler sees it.
struct TRemoteSession {
  TClientList& clients;
  int32_t connection = -1;
  std::string address;
  // Closes a client's connection (KickClient); false when it is not open.
  std::function<bool(int32_t connection, std::string_view reason)> kick_client;
  // Set when a command closed this very connection: the reply has nowhere to go.
  bool closed = false;
};

class TRemoteCommandHandler {
 public:
  // The accounts and the throttle outlive the handler. Any thread may call
  // Handle; several at once are fine.
  TRemoteCommandHandler(TAccountTable& accounts, TLoginThrottle& throttle, TRemoteCommandTargets targets);

  // Checks and runs one request and returns its reply. Never throws: an
  // error is posted under "GLOBAL" and the reply says the command failed.
  TServerPacket Handle(TRemoteSession& session, const TServerPacket& request);

  // The server's command handler: Handle, then the reply to the same
  // connection (a reply that cannot be delivered is reported at level 2).
  void ServerFunctionality(TRemoteAdminServer& server, int32_t connection, TServerPacket& request);

 private:
  struct TCall;
  using TCommandFn = void (TRemoteCommandHandler::*)(TCall&);

  bool Admit(TRemoteSession& session, const TServerPacket& request, TServerPacket& reply, TCall& call);
  void Reject(TRemoteSession& session, TServerPacket& reply, const std::string& event_text,
              const std::string& error);
  static void DeliverChat(TRemoteSession& session, bool see_player_chat, TServerPacket& reply);

  void CmdNone(TCall& c);
  void CmdSuccess(TCall& c);
  void CmdGetBanList(TCall& c);
  void CmdAddBan(TCall& c);
  void CmdDelBan(TCall& c);
  void CmdPlayingUsers(TCall& c);
  void CmdSendMessage(TCall& c);
  void CmdKickUser(TCall& c);
  void CmdConnectedClients(TCall& c);
  void CmdClientChat(TCall& c);
  void CmdClientUsers(TCall& c);
  void CmdClientUserData(TCall& c);
  void CmdDelClientUser(TCall& c);
  void CmdAddClientUser(TCall& c);
  void CmdUpdateClientUser(TCall& c);
  void CmdGetConfigs(TCall& c);
  void CmdActivateConfig(TCall& c);
  void CmdGetConfigSettings(TCall& c);
  void CmdAddConfig(TCall& c);
  void CmdUpdateConfig(TCall& c);
  void CmdDelConfig(TCall& c);
  void CmdRcon(TCall& c);
  void CmdGetSkins(TCall& c);
  void CmdSetSkins(TCall& c);
  void CmdAddSkin(TCall& c);
  void CmdHistoryNicks(TCall& c);
  void CmdHistoryEntry(TCall& c);
  void CmdKickClient(TCall& c);
  void CmdCancelSetup(TCall& c);
  void CmdDelAcBan(TCall& c);
  void CmdAddAcBan(TCall& c);

  // Whether the caller may manage an account with these rights: only with
  // every one of them itself (no one grants what he does not hold).
  static bool MayManage(const TCall& c, const std::vector<std::string>& rights, std::string& missing);

  static const std::array<TCommandFn, kRemoteCommandCount> kCommands;

  TAccountTable& accounts_;
  TLoginThrottle& throttle_;
  TRemoteCommandTargets targets_;
};

}  // namespace kv
