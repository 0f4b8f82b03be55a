#include "remoteadmin/remote_admin_subsystem.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <stdexcept>

#include "core/bus.h"
#include "core/bus_monitor.h"
#include "core/regional.h"
#include "domain/domain.h"
#include "domain/events.h"
#include "domain/settings.h"
#include "enforcement/pattern.h"

namespace kv {
namespace {

using T = TSettingType;

// The anti-cheat server's rows stay beside ours so the INI keeps its order;
// that server itself is not part of this service.
constexpr TSettingDef kRemoteAdminRows[] = {
    {"ServerPort", T::String, "23203", kStartup},
    {"ServerDisabled", T::Bool, "0", kStartup},
    {"ServerCompression", T::Bool, "1", kOnUse},
    {"ACServerPort", T::String, "24203", kStartup},
    {"ACServerDisabled", T::Bool, "0", kStartup},
    {"RemoteAdminBindAddress", T::String, "", kStartup},
    {"RemoteAdminMaxConnections", T::Int, "64", kStartup},
};
constexpr TSettingRows kRemoteAdminTables[] = {{TSettingPlace::RemoteAdmin, kRemoteAdminRows}};

std::string Trim(std::string s) {
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

std::pair<std::string, std::string> FirstWord(const std::string& text) {
  const std::string t = Trim(text);
  const auto blank = t.find_first_of(" \t");
  if (blank == std::string::npos) return {t, {}};
  return {t.substr(0, blank), Trim(t.substr(blank))};
}

TCommandResult Answer(bool ok, std::string text) {
  TCommandResult r;
  r.ok = ok;
  r.text = std::move(text);
  if (!ok) r.data["error"] = r.text;
  return r;
}

// Typing a password on a terminal shows nothing; piped input is left alone.
void SetTerminalEcho(bool on) {
  if (!::isatty(0)) return;
  termios t{};
  if (::tcgetattr(0, &t) != 0) return;
  if (on)
    t.c_lflag |= ECHO;
  else
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  ::tcsetattr(0, TCSANOW, &t);
}

}  // namespace

// What a command that asked for a password goes on with.
struct TRemoteAdminSubsystem::TPending {
  std::string prompt_again;  // asked for the repetition (a terminal); empty: none
  std::string first;         // the first entry, while the repetition is asked for
  bool have_first = false;
  std::function<std::string(const std::string& password)> done;  // runs on the main loop
};

std::vector<std::string> ChangeRights(std::vector<std::string> rights, const std::string& changes) {
  for (const std::string& raw : SplitCommaText(changes)) {
    const std::string item = Trim(raw);
    if (item.empty()) continue;
    if (item[0] != '+' && item[0] != '-')
      throw std::invalid_argument("each right starts with + or -: " + item);
    const bool grant = item[0] == '+';
    const std::string name = Trim(item.substr(1));
    std::vector<std::string> names;
    if (TAccessListEntry{"", "", "", {name}}.HasRight("all")) {
      names = GrantableRights();
    } else {
      int number = -1;
      const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), number);
      if (ec != std::errc() || end != name.data() + name.size()) number = RemoteCommandNumber(name);
      if (number < 0 || number >= kRemoteCommandCount) throw std::invalid_argument("no such right: " + name);
      names.push_back(kRemoteCommandNames[static_cast<size_t>(number)]);
    }
    for (const auto& n : names) {
      const TAccessListEntry probe{"", "", "", {n}};
      std::erase_if(rights, [&](const std::string& r) { return probe.HasRight(r); });
      if (grant) rights.push_back(n);
    }
  }
  return rights;
}

std::span<const TSettingRows> TRemoteAdminSubsystem::Rows() { return kRemoteAdminTables; }

TRemoteAdminSubsystem::TRemoteAdminSubsystem(TRuntime& runtime, TRemoteCommandTargets targets)
    : rt_(runtime),
      throttle_(runtime.clock),
      handler_(accounts_, throttle_,
               [&] {
                 targets.accounts_changed = [this] { SaveAccountsSoon(); };
                 return std::move(targets);
               }()),
      config_(TRemoteAdminConfig{}) {}

TRemoteAdminSubsystem::~TRemoteAdminSubsystem() { Close(); }

void TRemoteAdminSubsystem::KeepDamagedAccounts(TStream& in, uint64_t start, const std::string& reason) {
  // The accounts after the damage would be gone with the next save: the
  // bytes as read are kept beside the file, so nothing is lost.
  try {
    in.Seek(start);
    std::string bytes(static_cast<size_t>(in.Remaining()), '\0');
    if (!bytes.empty()) in.ReadBuffer(bytes.data(), bytes.size());
    const std::filesystem::path dir = TDataFileRegistry::DataDir(rt_.home);
    std::filesystem::path target = dir / "ServerAccess.dat.damaged";
    for (int n = 1; std::filesystem::exists(target) && n < 1000; ++n)
      target = dir / ("ServerAccess.dat.damaged." + std::to_string(n));
    SaveFileAtomic(target.string(), bytes.data(), bytes.size(), TFileAccess::Private);
    PostGlobal(
        "Remote administration: the damaged account data (" + reason + ") is kept in " + target.string(),
        mlWarning);
  } catch (const std::exception& e) {
    PostGlobal(std::string("Remote administration: the damaged account data could not be kept: ") + e.what(),
               mlError);
  }
}

void TRemoteAdminSubsystem::RegisterDataFiles(TDataFileRegistry& registry) {
  TDataFileHandler handler;
  handler.load = [this](TStream& in) {
    const uint64_t start = in.Position();
    try {
      accounts_.LoadAccounts(in);
    } catch (const EStreamError& e) {
      KeepDamagedAccounts(in, start, e.what());
      throw;
    }
  };
  handler.save = [this](TStream& out) { accounts_.SaveAccounts(out); };
  handler.access = TFileAccess::Private;
  registry.Register(TDataFileId::ServerAccess, std::move(handler));
}

void TRemoteAdminSubsystem::ApplySettings(TSettings& settings) {
  TRemoteAdminConfig c;
  c.port = settings.String("ServerPort");
  c.disabled = settings.Bool("ServerDisabled");
  c.compression = settings.Bool("ServerCompression");
  c.bind_address = Trim(settings.String("RemoteAdminBindAddress"));
  c.max_connections = settings.Int("RemoteAdminMaxConnections");
  config_.Publish(c);
  if (server_) {
    server_->SetCompression(c.compression);
    server_->SetDisabled(c.disabled);
  }
}

void TRemoteAdminSubsystem::Open() {
  open_ = true;
  // The players' chat for the clients that hold "See Chat from Players".
  chat_monitor_ = MakeThread<TMsgMonitor>(false);
  chat_monitor_->AddCategory(EventCategory(ekChatMessage));
  chat_monitor_->SetAcceptedLevels({mlInformation});
  chat_monitor_->SetLevelHandler(
      mlInformation, [this](const std::string&, const std::string&, TMsgData& data, uint8_t) {
        const auto* object = std::get_if<std::shared_ptr<TBusObject>>(&data);
        const auto* event = object ? dynamic_cast<const TMohaaEvent*>(object->get()) : nullptr;
        if (event && event->kind == ekChatMessage) OnPlayerChat(*event);
      });
  chat_subscription_ = Subscribe(*chat_monitor_);
  StartServerIfReady();
}

void TRemoteAdminSubsystem::OnPlayerChat(const TMohaaEvent& event) {
  const std::string speaker = event.log_entry ? event.log_entry->first_player.name : std::string();
  // The time the line was read, not when it reached us.
  const std::string line = "[" + regional::DateTimeToStr(event.time) + "] " + speaker + ": " + event.text;
  TLockGuard lock(chat_mutex_);
  if (chat_clients_) chat_clients_->AddPlayerChat(line);
}

void TRemoteAdminSubsystem::Close() {
  open_ = false;
  chat_subscription_.Reset();
  chat_monitor_.reset();
  {
    TLockGuard lock(chat_mutex_);
    chat_clients_ = nullptr;
  }
  if (server_) server_->Stop();
  server_.reset();
  TLockGuard lock(pending_mutex_);
  if (pending_) SetTerminalEcho(true);
  pending_.reset();
}

void TRemoteAdminSubsystem::StartServerIfReady() {
  if (!open_ || server_) return;
  if (accounts_.Count() == 0) {
    PostGlobal(kNoAccountNotice, mlWarning);
    return;
  }
  const auto c = config_.Get();
  TRemoteAdminOptions options;
  int port = -1;
  const std::string port_text = Trim(c->port);
  const auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (ec != std::errc() || end != port_text.data() + port_text.size() || port < 0 || port > 65535) {
    PostGlobal("Remote administration: ServerPort \"" + c->port +
                   "\" is no port number; the remote server does not listen",
               mlCritical);
    return;
  }
  options.port = static_cast<uint16_t>(port);
  options.bind_address = c->bind_address;
  options.compression = c->compression;
  options.disabled = c->disabled;
  options.max_connections = static_cast<size_t>(std::max(1, c->max_connections));
  options.clock = &rt_.clock;
  auto server = std::make_unique<TRemoteAdminServer>(
      options, [this](TRemoteAdminServer& s, int32_t connection, TServerPacket& packet) {
        handler_.ServerFunctionality(s, connection, packet);
      });
  // An address no account may use gets nothing deciphered: its packets
  // close the connection unanswered.
  server->SetAddressGate([this](const std::string& address) { return accounts_.AnyAccountAllows(address); });
  if (!server->Start()) return;  // the failure was posted by Start
  server_ = std::move(server);
  TLockGuard lock(chat_mutex_);
  chat_clients_ = &server_->Clients();
}

void TRemoteAdminSubsystem::SaveAccountsSoon() {
  // Remote changes are written at once, not only by the next AutoSave: an
  // account added from afar must not vanish with a crash.
  rt_.loop.Post([this] {
    try {
      rt_.registry.Save(TDataFileId::ServerAccess, rt_.home);
    } catch (const std::exception& e) {
      PostGlobal(std::string("Server Access Data: ") + e.what(), mlError);
    }
  });
}

std::optional<std::string> TRemoteAdminSubsystem::PendingInput(const std::string& line) {
  std::unique_ptr<TPending> pending;
  {
    TLockGuard lock(pending_mutex_);
    if (!pending_) return std::nullopt;
    std::string password = line;
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (!pending_->prompt_again.empty() && !pending_->have_first) {
      pending_->first = password;
      pending_->have_first = true;
      return pending_->prompt_again;
    }
    pending = std::move(pending_);
    SetTerminalEcho(true);
    if (pending->have_first && pending->first != password) return std::string("passwords differs");
    pending->first = password;
  }
  std::string answer;
  rt_.loop.Invoke([&] { answer = pending->done(pending->first); });
  return answer;
}

void TRemoteAdminSubsystem::AskPassword(std::unique_ptr<TPending> pending) {
  if (::isatty(0)) pending->prompt_again = "Repeat the password:";
  TLockGuard lock(pending_mutex_);
  pending_ = std::move(pending);
  SetTerminalEcho(false);
}

TCommandResult TRemoteAdminSubsystem::AccountAdd(const std::string& name, const std::string& filter) {
  if (name.size() > kAccountTextMax || filter.size() > kAccountTextMax)
    return Answer(false, "account: name and filter hold at most 255 characters");
  if (!filter.empty()) {
    std::string error;
    if (!TPattern::Compile(filter, error))
      return Answer(false, "account: the address filter is no valid expression: " + error);
  }
  if (accounts_.FindAccount(name)) return Answer(false, "account: " + name + " exists already");
  auto pending = std::make_unique<TPending>();
  pending->done = [this, name, filter](const std::string& password) {
    if (password.empty()) return std::string("account: not added, the password is empty");
    if (password.size() > kAccountTextMax)
      return std::string("account: not added, the password is longer than 255 characters");
    if (!accounts_.AddAccount(TAccessListEntry{name, password, filter, GrantableRights()}))
      return "account: " + name + " exists already";
    rt_.registry.Save(TDataFileId::ServerAccess, rt_.home);
    std::string text = "Account " + name + " added with every right; narrow them with: account rights " +
                       name + " -RIGHT,...";
    StartServerIfReady();
    return text;
  };
  AskPassword(std::move(pending));
  return Answer(true, "Password for " + name + " (one line; not shown on a terminal):");
}

TCommandResult TRemoteAdminSubsystem::AccountPassword(const std::string& name) {
  if (!accounts_.FindAccount(name)) return Answer(false, "account: no account " + name);
  auto pending = std::make_unique<TPending>();
  pending->done = [this, name](const std::string& password) {
    if (password.empty()) return std::string("account: password not changed, it is empty");
    if (password.size() > kAccountTextMax)
      return std::string("account: password not changed, longer than 255 characters");
    {
      auto found = accounts_.FindAccount(name);
      if (!found) return "account: no account " + name;
      found->password = password;
    }
    rt_.registry.Save(TDataFileId::ServerAccess, rt_.home);
    return "Password of " + name + " changed";
  };
  AskPassword(std::move(pending));
  return Answer(true, "New password for " + name + " (one line; not shown on a terminal):");
}

TCommandResult TRemoteAdminSubsystem::AccountDel(const std::string& name) {
  if (!accounts_.DeleteAccount(name)) return Answer(false, "account: no account " + name);
  rt_.registry.Save(TDataFileId::ServerAccess, rt_.home);
  return Answer(true, "Account " + name + " deleted");
}

TCommandResult TRemoteAdminSubsystem::AccountList() {
  TCommandResult r;
  r.data["accounts"] = nlohmann::json::array();
  const auto accounts = accounts_.Accounts();
  for (const auto& a : accounts) {
    r.data["accounts"].push_back(
        {{"name", a.user_name}, {"address_filter", a.address_filter}, {"rights", a.rights}});
    std::string rights;
    for (const auto& right : a.rights) rights += (rights.empty() ? "" : ", ") + right;
    r.text += a.user_name + "  filter: " + (a.address_filter.empty() ? "(any address)" : a.address_filter) +
              "\n  rights: " + (rights.empty() ? "(none)" : rights) + "\n";
  }
  if (accounts.empty()) r.text = std::string("No accounts. ") + "Create one with: account add NAME\n";
  r.text.pop_back();
  return r;
}

TCommandResult TRemoteAdminSubsystem::AccountRights(const std::string& name, const std::string& changes) {
  std::string shown;
  {
    auto found = accounts_.FindAccount(name);
    if (!found) return Answer(false, "account: no account " + name);
    try {
      found->rights = ChangeRights(found->rights, changes);
    } catch (const std::invalid_argument& e) {
      return Answer(false, std::string("account: ") + e.what());
    }
    for (const auto& right : found->rights) shown += (shown.empty() ? "" : ", ") + right;
  }
  rt_.registry.Save(TDataFileId::ServerAccess, rt_.home);
  return Answer(true, "Rights of " + name + ": " + (shown.empty() ? "(none)" : shown));
}

TCommandResult TRemoteAdminSubsystem::AccountCommand(const std::string& args) {
  const auto [verb, rest] = FirstWord(args);
  const auto [name, more] = FirstWord(rest);
  if (verb == "list" && rest.empty()) return AccountList();
  if (verb == "add" && !name.empty()) return AccountAdd(name, more);
  if (verb == "password" && !name.empty() && more.empty()) return AccountPassword(name);
  if (verb == "del" && !name.empty() && more.empty()) return AccountDel(name);
  if (verb == "rights" && !name.empty() && !more.empty()) return AccountRights(name, more);
  throw ECommandUsage();
}

void TRemoteAdminSubsystem::RegisterCommands(TCommandTable& commands) {
  commands.Add(TCommand{
      .name = "account",
      .args = "add|password|del|list|rights ...",
      .usage = "account add NAME [FILTER] | account password NAME | account del NAME | account list | "
               "account rights NAME +RIGHT,-RIGHT,...",
      .help = "remote-administration accounts; a password is asked for on the next line",
      .thread = TCommandThread::MainLoop,
      .right = "admin",
      .needs_args = true,
      .handler = [this](const TCommandContext&, const std::string& args) { return AccountCommand(args); },
  });
}

}  // namespace kv
