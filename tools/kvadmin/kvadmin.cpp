#include "tools/kvadmin/kvadmin.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>

#include "core/cp1252.h"
#include "core/datafiles.h"
#include "core/regional.h"
#include "enforcement/banlist.h"
#include "players/history_record.h"
#include "remoteadmin/accounts.h"
#include "remoteadmin/client.h"
#include "remoteadmin/clients.h"
#include "remoteadmin/commands.h"
#include "remoteadmin/remote_admin_subsystem.h"
#include "tools/kvtool/varlist_json.h"

namespace kv::admin {
namespace {

using nlohmann::json;

constexpr const char* kUsage = R"(usage: kvadmin --host H --port P --user U [--password-file F] [--json]
               [--timeout MS] [--compress] SUBCOMMAND ...
The password is read from the file (first line; "-" reads standard input) or
asked for on the terminal without echo; it is never taken from the command line.
Subcommands (the right each needs is the remote command's name):
  players                          current players            (Get playing Users)
  kick ID [REASON] [--delay S] [--repeat N]                    (KickUser)
  ban [--nick RE] [--ip RE] [--minutes M | --until DATE] [--reason TEXT]  (Add Ban)
  unban [--nick RE] [--ip RE]      exact filters of the ban    (Del Ban)
  bans                             the ban list               (Get BanList)
  acban ID [--minutes M | --until DATE] [--reason TEXT]        (Add ACBan)
  acunban ID                                                   (Del ACBan)
  say TEXT [--player ID]           a message to the players   (Send Message)
  chat TEXT                        a line to the other admins (ClientChat)
  rcon COMMAND...                  a console command          (Execute RCON Command)
  clients                          connected admin clients    (Get Connected Clients)
  kick-client SOCKET               close an admin connection  (Kick Kelvandrome Client)
  configs | apply NAME | config NAME | config-del NAME | config-cancel
                                   configuration sets         (ServerConfig ...)
  skins | skins-set FILE | skin-add SKIN                       (... Skin List)
  history [NICK]                   nicks, or one player's entry (Get Users from History,
                                                               Get Userhistroy Entry)
  accounts list | show NAME | del NAME
  accounts add NAME [--filter RE] [--rights +R,-R,...] [--new-password-file F]
  accounts update NAME [--filter RE] [--rights +R,-R,...] [--new-password-file F]
                                   account management; rights are command names,
                                   numbers or "all"; nobody grants what he lacks
  raw NUMBER [NAME=VALUE ...] [--data-file F]   any command by its number
Chat lines waiting for this client are printed after the answer.
Exit codes: 0 done, 1 failed (connection, refusal, failed command), 2 usage.)";

class EUsage : public std::runtime_error {
 public:
  explicit EUsage(const std::string& s) : std::runtime_error(s) {}
};
class EFailed : public std::runtime_error {
 public:
  explicit EFailed(const std::string& s) : std::runtime_error(s) {}
};

struct TOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 23203;
  std::string user;
  std::string password_file;
  bool json_out = false;
  bool compress = false;
  int64_t timeout_ms = 10'000;
};

// The words after the subcommand: positional ones and --name value pairs.
struct TWords {
  std::vector<std::string> positional;
  std::map<std::string, std::string> named;
  std::string Named(const std::string& name, const std::string& def = {}) const {
    const auto it = named.find(name);
    return it == named.end() ? def : it->second;
  }
  bool Has(const std::string& name) const { return named.count(name) != 0; }
};

TWords SplitWords(const std::vector<std::string>& args, size_t from,
                  std::initializer_list<const char*> allowed) {
  TWords w;
  for (size_t i = from; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.rfind("--", 0) == 0 && a.size() > 2) {
      const std::string name = a.substr(2);
      if (std::none_of(allowed.begin(), allowed.end(), [&](const char* n) { return name == n; }))
        throw EUsage("unknown option " + a);
      if (i + 1 >= args.size()) throw EUsage(a + " needs a value");
      w.named[name] = args[++i];
    } else {
      w.positional.push_back(a);
    }
  }
  return w;
}

int32_t ToInt(const std::string& text, const std::string& what) {
  int64_t v = 0;
  if (!regional::TryStrToInt(text, v) || v < INT32_MIN || v > INT32_MAX)
    throw EUsage(what + ": not a number: " + text);
  return static_cast<int32_t>(v);
}

std::string ReadFileText(const std::string& path) {
  if (path == "-") {
    std::stringstream s;
    s << std::cin.rdbuf();
    return s.str();
  }
  std::ifstream f(path, std::ios::binary);
  if (!f) throw EFailed("cannot read " + path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string FirstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Asks on the terminal itself, so a redirected standard input or output
// does not matter; echo is off while the password is typed.
std::string AskPassword(const std::string& prompt) {
  std::FILE* tty = std::fopen("/dev/tty", "r+");
  if (!tty) throw EFailed("no terminal to ask for the password: give --password-file");
  const int fd = ::fileno(tty);
  termios old{};
  const bool have = ::tcgetattr(fd, &old) == 0;
  if (have) {
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  std::fputs(prompt.c_str(), tty);
  std::fflush(tty);
  std::string line;
  for (int c; (c = std::fgetc(tty)) != EOF && c != '\n';) line += static_cast<char>(c);
  if (have) ::tcsetattr(fd, TCSAFLUSH, &old);
  std::fputs("\n", tty);
  std::fclose(tty);
  return FirstLine(line);
}

// A table: the header, then the rows, columns as wide as their widest cell.
void PrintTable(std::ostream& out, const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> width(header.size());
  for (size_t c = 0; c < header.size(); ++c) width[c] = header[c].size();
  for (const auto& r : rows)
    for (size_t c = 0; c < r.size() && c < width.size(); ++c) width[c] = std::max(width[c], r[c].size());
  auto line = [&](const std::vector<std::string>& cells) {
    std::string s;
    for (size_t c = 0; c < cells.size(); ++c) {
      s += cells[c];
      if (c + 1 < cells.size()) s += std::string(width[c] - cells[c].size() + 2, ' ');
    }
    out << s << "\n";
  };
  line(header);
  for (const auto& r : rows) line(r);
}

class TSession {
 public:
  TSession(const TOptions& o, std::string password) : o_(o), password_(std::move(password)) {}

  // Sends one request; throws EFailed for a connection problem or an error
  // the server named. The reply's chat lines are kept for the end.
  TServerPacket Request(int number, TVarList params = {}, std::optional<std::string> data = std::nullopt) {
    if (!client_.Connected()) {
      std::string error;
      client_.SetCompression(o_.compress);
      if (!client_.Connect(o_.host, o_.port, o_.timeout_ms, &error))
        throw EFailed(error.empty() ? "cannot connect to " + o_.host + ":" + std::to_string(o_.port) : error);
    }
    params.SetValue("_ConnectionUserName", Utf8ToCp1252(o_.user));
    params.SetValue("_ConnectionUserPass", password_);
    TServerPacket request;
    request.command_type = number;
    request.parameters = std::move(params);
    request.data = std::move(data);
    TServerPacket reply;
    std::string error;
    if (!client_.Request(request, reply, o_.timeout_ms, &error))
      throw EFailed("no answer from " + o_.host + ":" + std::to_string(o_.port) + " within " +
                    std::to_string(o_.timeout_ms) + " ms: " + error);
    if (reply.parameters) {
      TVariant v;
      if (reply.parameters->TryGetValue("_ChatLog", v)) Keep(chat_, v.AsString());
      if (reply.parameters->TryGetValue("_UserChatLog", v)) Keep(player_chat_, v.AsString());
      if (reply.parameters->TryGetValue("Error", v)) throw EFailed(Cp1252ToUtf8(v.AsString()));
    }
    return reply;
  }
  // A request whose command must succeed.
  TServerPacket Require(int number, TVarList params = {}, std::optional<std::string> data = std::nullopt,
                        const std::string& failed = {}) {
    TServerPacket reply = Request(number, std::move(params), std::move(data));
    if (reply.result != 0)
      throw EFailed(failed.empty() ? std::string(RemoteCommandName(number)) + ": the server reports failure"
                                   : failed);
    return reply;
  }
  const std::vector<std::string>& Chat() const { return chat_; }
  const std::vector<std::string>& PlayerChat() const { return player_chat_; }

 private:
  static void Keep(std::vector<std::string>& to, const std::string& comma) {
    for (auto& l : SplitCommaText(comma)) to.push_back(Cp1252ToUtf8(l));
  }
  const TOptions& o_;
  std::string password_;
  TRemoteAdminClient client_;
  std::vector<std::string> chat_, player_chat_;
};

std::vector<std::string> DataLines(const TServerPacket& reply) {
  std::vector<std::string> lines;
  if (!reply.data) return lines;
  TMemoryStream s(*reply.data);
  for (auto& l : ReadTextLines(s)) lines.push_back(Cp1252ToUtf8(l));
  return lines;
}

struct TCommandOutput {
  json data;                                   // for --json
  std::vector<std::string> header;             // table; empty: `text` only
  std::vector<std::vector<std::string>> rows;  //
  std::string text;                            // a line or lines
};

TCommandOutput Lines(const std::vector<std::string>& lines, const std::string& column) {
  TCommandOutput out;
  out.data = lines;
  out.header = {column};
  for (const auto& l : lines) out.rows.push_back({l});
  return out;
}

TCommandOutput Done(const std::string& text) {
  TCommandOutput out;
  out.data = json{{"done", true}};
  out.text = text;
  return out;
}

std::string EndText(double end) { return end == 0 ? "never" : regional::DateTimeToStr(end); }

// Command 2 and 32 share how the end is given.
void SetEnd(TVarList& p, const TWords& w) {
  if (w.Has("until")) {
    double end = 0;
    if (!regional::TryStrToDateTime(w.Named("until"), end))
      throw EUsage("--until: not a date (dd.mm.yyyy hh:nn:ss)");
    p.SetValue("SetDate", true);
    p.SetValue("Date", TVariant::Date(end));
  } else {
    p.SetValue("SetDate", false);
    p.SetValue("Date", ToInt(w.Named("minutes", "0"), "--minutes"));
  }
}

TCommandOutput Players(TSession& s) {
  const TServerPacket reply = s.Require(4);
  TCommandOutput out;
  out.header = {"id", "name", "score", "ping", "team", "address"};
  out.data = json::array();
  if (!reply.data || reply.data->empty()) {
    out.text = "no player list yet";
    out.header.clear();
    return out;
  }
  TMemoryStream in(*reply.data);
  for (int i = 0; i < 5; ++i) in.ReadInt32();
  const std::string map = in.ReadLString(), server = in.ReadLString();
  const int32_t count = in.ReadInt32();
  for (int32_t i = 0; i < count; ++i) {
    std::string t[6];
    int32_t v[6];
    for (auto& x : t) x = Cp1252ToUtf8(in.ReadLString());
    for (auto& x : v) x = in.ReadInt32();
    out.rows.push_back({std::to_string(v[2]), t[0], std::to_string(v[0]), std::to_string(v[1]), t[5], t[1]});
    out.data.push_back({{"id", v[2]},
                        {"name", t[0]},
                        {"score", v[0]},
                        {"ping", v[1]},
                        {"team", t[5]},
                        {"address", t[1]},
                        {"weapon", t[4]}});
  }
  out.data = json{{"map", Cp1252ToUtf8(map)}, {"server", Cp1252ToUtf8(server)}, {"players", out.data}};
  return out;
}

TCommandOutput Bans(TSession& s) {
  const TServerPacket reply = s.Require(1);
  std::vector<TBanListEntry> bans;
  TMemoryStream in(reply.data.value_or(""));
  ReadBanListFile(in, bans);
  TCommandOutput out;
  out.header = {"#", "nick", "address", "ac id", "ends", "message"};
  out.data = json::array();
  for (size_t i = 0; i < bans.size(); ++i) {
    const auto& b = bans[i];
    out.rows.push_back({std::to_string(i + 1), Cp1252ToUtf8(b.nick_filter), Cp1252ToUtf8(b.address_filter),
                        Cp1252ToUtf8(b.ac_id), EndText(b.end), Cp1252ToUtf8(b.message)});
    out.data.push_back({{"nick_filter", Cp1252ToUtf8(b.nick_filter)},
                        {"address_filter", Cp1252ToUtf8(b.address_filter)},
                        {"ac_id", Cp1252ToUtf8(b.ac_id)},
                        {"end", b.end},
                        {"ends", EndText(b.end)},
                        {"message", Cp1252ToUtf8(b.message)}});
  }
  return out;
}

TCommandOutput Clients(TSession& s) {
  const TServerPacket reply = s.Require(7);
  std::vector<TClientSnapshotEntry> clients;
  TMemoryStream in(reply.data.value_or(""));
  std::string error;
  if (!ReadClientSnapshot(in, clients, &error)) throw EFailed(error);
  TCommandOutput out;
  out.header = {"socket", "user", "address"};
  out.data = json::array();
  for (const auto& c : clients) {
    const std::string user = c.user_name.empty() ? "(not authenticated)" : Cp1252ToUtf8(c.user_name);
    out.rows.push_back({std::to_string(c.handle), user, c.address});
    out.data.push_back({{"socket", c.handle}, {"user", Cp1252ToUtf8(c.user_name)}, {"address", c.address}});
  }
  return out;
}

json AccountJson(const TAccessListEntry& a) {
  json rights = json::array();
  for (const auto& r : a.rights) rights.push_back(Cp1252ToUtf8(r));
  // The password stays out of what is printed.
  return {{"name", Cp1252ToUtf8(a.user_name)},
          {"address_filter", Cp1252ToUtf8(a.address_filter)},
          {"rights", rights}};
}

TAccessListEntry FetchAccount(TSession& s, const std::string& name) {
  TVarList p;
  p.SetValue("UserName", Utf8ToCp1252(name));
  const TServerPacket reply = s.Require(10, p, std::nullopt, "no account " + name + " (or not yours to see)");
  TMemoryStream in(reply.data.value_or(""));
  try {
    return ReadAccountRecord(in, in.Size());
  } catch (const EStreamError& e) {
    throw EFailed(std::string("damaged account record: ") + e.what());
  }
}

std::string NewPassword(const TWords& w, const std::string& name) {
  const std::string password = w.Has("new-password-file")
                                   ? FirstLine(ReadFileText(w.Named("new-password-file")))
                                   : AskPassword("Password for account " + name + ": ");
  if (password.empty()) throw EFailed("the new password is empty");
  if (password.size() > kAccountTextMax) throw EFailed("the new password is longer than 255 characters");
  return password;
}

TCommandOutput Accounts(TSession& s, const std::vector<std::string>& args) {
  const TWords w = SplitWords(args, 2, {"filter", "rights", "new-password-file"});
  const std::string verb = args.size() > 1 ? args[1] : "";
  const std::string name = w.positional.empty() ? "" : w.positional[0];
  if (verb == "list" && w.positional.empty()) return Lines(DataLines(s.Require(9)), "account");
  if (name.empty() || w.positional.size() != 1) throw EUsage("accounts list | show|add|del|update NAME ...");
  if (verb == "show") {
    const TAccessListEntry a = FetchAccount(s, name);
    TCommandOutput out;
    out.data = AccountJson(a);
    out.text = "name:    " + Cp1252ToUtf8(a.user_name) +
               "\nfilter:  " + (a.address_filter.empty() ? "(any address)" : Cp1252ToUtf8(a.address_filter)) +
               "\nrights:";
    for (const auto& r : a.rights) out.text += "\n  " + Cp1252ToUtf8(r);
    return out;
  }
  if (verb == "del") {
    TVarList p;
    p.SetValue("UserName", Utf8ToCp1252(name));
    s.Require(11, p, std::nullopt, "no account " + name + " deleted (none, or not yours to delete)");
    return Done("account " + name + " deleted");
  }
  auto apply = [&](TAccessListEntry& a) {
    if (w.Has("filter")) a.address_filter = Utf8ToCp1252(w.Named("filter"));
    try {
      if (w.Has("rights")) a.rights = ChangeRights(a.rights, Utf8ToCp1252(w.Named("rights")));
    } catch (const std::invalid_argument& e) {
      throw EUsage(std::string("--rights: ") + e.what());
    }
  };
  if (verb == "add") {
    TAccessListEntry a{Utf8ToCp1252(name), "", "", {}};
    apply(a);
    a.password = Utf8ToCp1252(NewPassword(w, name));
    s.Require(12, {}, AccountRecordBytes(a), "account " + name + " not added: the name exists");
    return Done("account " + name + " added");
  }
  if (verb == "update") {
    TAccessListEntry a = FetchAccount(s, name);
    apply(a);
    if (w.Has("new-password-file")) a.password = Utf8ToCp1252(NewPassword(w, name));
    s.Require(13, {}, AccountRecordBytes(a), "account " + name + " not updated");
    return Done("account " + name + " updated");
  }
  throw EUsage("accounts list | show|add|del|update NAME ...");
}

TCommandOutput Raw(TSession& s, const std::vector<std::string>& args) {
  const TWords w = SplitWords(args, 1, {"data-file"});
  if (w.positional.empty()) throw EUsage("raw NUMBER [NAME=VALUE ...] [--data-file F]");
  TVarList p;
  for (size_t i = 1; i < w.positional.size(); ++i) {
    const auto eq = w.positional[i].find('=');
    if (eq == std::string::npos) throw EUsage("raw: NAME=VALUE expected: " + w.positional[i]);
    p.SetValue(w.positional[i].substr(0, eq), Utf8ToCp1252(w.positional[i].substr(eq + 1)));
  }
  std::optional<std::string> data;
  if (w.Has("data-file")) data = ReadFileText(w.Named("data-file"));
  const TServerPacket reply = s.Request(ToInt(w.positional[0], "NUMBER"), p, data);
  TCommandOutput out;
  out.data = {{"result", reply.result}, {"data_bytes", reply.data ? reply.data->size() : 0}};
  out.text = "result " + std::to_string(reply.result) + ", " +
             std::to_string(reply.data ? reply.data->size() : 0) + " data bytes";
  return out;
}

TCommandOutput HistoryEntry(TSession& s, const std::string& nick) {
  TVarList p;
  p.SetValue("Nick", Utf8ToCp1252(nick));
  const TServerPacket reply = s.Require(27, p, std::nullopt, "no history of " + nick);
  TMemoryStream in(reply.data.value_or(""));
  const auto history = ReadHistoryRecord(in);
  TCommandOutput out;
  out.data = {{"nick", Cp1252ToUtf8(history->player.name)},
              {"address", history->player.address},
              {"values", tool::VarListJson(history->persistent)}};
  out.header = {"name", "value"};
  out.rows.push_back({"nick", Cp1252ToUtf8(history->player.name)});
  out.rows.push_back({"address", history->player.address});
  history->persistent.ForEach([&](std::string_view n, const TVariant& v) {
    out.rows.push_back({Cp1252ToUtf8(n), Cp1252ToUtf8(v.AsString())});
  });
  return out;
}

using TSubcommand = std::function<TCommandOutput(TSession&, const std::vector<std::string>&)>;

TVarList Params(std::initializer_list<std::pair<const char*, TVariant>> values) {
  TVarList p;
  for (const auto& [n, v] : values) p.SetValue(n, v);
  return p;
}

std::string Join(const std::vector<std::string>& words, size_t from) {
  std::string s;
  for (size_t i = from; i < words.size(); ++i) s += (i > from ? " " : "") + words[i];
  return s;
}

const std::map<std::string, TSubcommand>& Subcommands() {
  static const std::map<std::string, TSubcommand> table = {
      {"players", [](TSession& s, const auto&) { return Players(s); }},
      {"bans", [](TSession& s, const auto&) { return Bans(s); }},
      {"clients", [](TSession& s, const auto&) { return Clients(s); }},
      {"kick",
       [](TSession& s, const auto& a) {
         const TWords w = SplitWords(a, 1, {"delay", "repeat"});
         if (w.positional.empty()) throw EUsage("kick ID [REASON] [--delay S] [--repeat N]");
         s.Require(6, Params({{"ClientID", ToInt(w.positional[0], "ID")},
                              {"Msg", Utf8ToCp1252(Join(w.positional, 1))},
                              {"Delay", ToInt(w.Named("delay", "0"), "--delay")},
                              {"Repeat", ToInt(w.Named("repeat", "1"), "--repeat")}}));
         return Done("kick of player " + w.positional[0] + " started");
       }},
      {"ban",
       [](TSession& s, const auto& a) {
         const TWords w = SplitWords(a, 1, {"nick", "ip", "minutes", "until", "reason"});
         if (!w.positional.empty() || (!w.Has("nick") && !w.Has("ip")))
           throw EUsage("ban needs --nick or --ip");
         TVarList p = Params({{"User", Utf8ToCp1252(w.Named("nick"))},
                              {"Ip", Utf8ToCp1252(w.Named("ip"))},
                              {"Msg", Utf8ToCp1252(w.Named("reason"))}});
         SetEnd(p, w);
         s.Require(2, p);
         return Done("ban added");
       }},
      {"unban",
       [](TSession& s, const auto& a) {
         const TWords w = SplitWords(a, 1, {"nick", "ip"});
         if (!w.positional.empty() || (!w.Has("nick") && !w.Has("ip")))
           throw EUsage("unban needs --nick or --ip");
         s.Require(3, Params({{"User", Utf8ToCp1252(w.Named("nick"))}, {"Ip", Utf8ToCp1252(w.Named("ip"))}}));
         return Done("ban removed (if there was one with exactly these filters)");
       }},
      {"acban",
       [](TSession& s, const auto& a) {
         const TWords w = SplitWords(a, 1, {"minutes", "until", "reason"});
         if (w.positional.size() != 1) throw EUsage("acban ID [--minutes M | --until DATE] [--reason TEXT]");
         TVarList p =
             Params({{"ACID", Utf8ToCp1252(w.positional[0])}, {"Msg", Utf8ToCp1252(w.Named("reason"))}});
         SetEnd(p, w);
         s.Require(32, p);
         return Done("anti-cheat ban added");
       }},
      {"acunban",
       [](TSession& s, const auto& a) {
         if (a.size() != 2) throw EUsage("acunban ID");
         s.Require(31, Params({{"ACID", Utf8ToCp1252(a[1])}}));
         return Done("anti-cheat ban removed (if there was one)");
       }},
      {"say",
       [](TSession& s, const auto& a) {
         const TWords w = SplitWords(a, 1, {"player"});
         if (w.positional.empty()) throw EUsage("say TEXT [--player ID]");
         s.Require(5, Params({{"Msg", Utf8ToCp1252(Join(w.positional, 0))},
                              {"ClientID", ToInt(w.Named("player", "-1"), "--player")}}));
         return Done("message sent");
       }},
      {"chat",
       [](TSession& s, const auto& a) {
         if (a.size() < 2) throw EUsage("chat TEXT");
         s.Require(8, Params({{"_ClientChatMessage", Utf8ToCp1252(Join(a, 1))}}));
         return Done("chat line sent");
       }},
      {"rcon",
       [](TSession& s, const auto& a) {
         if (a.size() < 2) throw EUsage("rcon COMMAND...");
         return Lines(DataLines(s.Require(22, Params({{"Command", Utf8ToCp1252(Join(a, 1))}}))), "reply");
       }},
      {"kick-client",
       [](TSession& s, const auto& a) {
         if (a.size() != 2) throw EUsage("kick-client SOCKET");
         // The server answers "failed" to this command even when the kick is done.
         s.Request(29, Params({{"ClientSocket", ToInt(a[1], "SOCKET")}}));
         return Done("kick of client " + a[1] + " requested");
       }},
      {"configs", [](TSession& s, const auto&) { return Lines(DataLines(s.Require(16)), "configuration"); }},
      {"apply",
       [](TSession& s, const auto& a) {
         if (a.size() != 2) throw EUsage("apply NAME");
         s.Require(17, Params({{"Config", Utf8ToCp1252(a[1])}}), std::nullopt,
                   "configuration " + a[1] + " not activated");
         return Done("configuration " + a[1] + " activated");
       }},
      {"config",
       [](TSession& s, const auto& a) {
         if (a.size() != 2) throw EUsage("config NAME");
         const TServerPacket r = s.Require(18, Params({{"Config", Utf8ToCp1252(a[1])}}), std::nullopt,
                                           "no configuration " + a[1]);
         TMemoryStream in(r.data.value_or(""));
         TVarList list;
         list.LoadFromStream(in);
         TCommandOutput out;
         out.data = tool::VarListJson(list);
         out.header = {"name", "value"};
         list.ForEach([&](std::string_view n, const TVariant& v) {
           out.rows.push_back({Cp1252ToUtf8(n), Cp1252ToUtf8(v.AsString())});
         });
         return out;
       }},
      {"config-del",
       [](TSession& s, const auto& a) {
         if (a.size() != 2) throw EUsage("config-del NAME");
         s.Require(21, Params({{"Config", Utf8ToCp1252(a[1])}}), std::nullopt, "no configuration " + a[1]);
         return Done("configuration " + a[1] + " deleted");
       }},
      {"config-cancel",
       [](TSession& s, const auto&) {
         s.Require(30);
         return Done("configuration setup cancelled");
       }},
      {"skins", [](TSession& s, const auto&) { return Lines(DataLines(s.Require(23)), "skin"); }},
      {"skins-set",
       [](TSession& s, const auto& a) {
         if (a.size() != 2) throw EUsage("skins-set FILE");
         TMemoryStream in(Utf8ToCp1252(ReadFileText(a[1])));
         TMemoryStream lines;
         WriteTextLines(lines, ReadTextLines(in));
         s.Require(24, {}, lines.Str());
         return Done("skin list replaced");
       }},
      {"skin-add",
       [](TSession& s, const auto& a) {
         if (a.size() != 2) throw EUsage("skin-add SKIN");
         s.Require(25, Params({{"Skin", Utf8ToCp1252(a[1])}}));
         return Done("skin added");
       }},
      {"history",
       [](TSession& s, const auto& a) {
         if (a.size() > 2) throw EUsage("history [NICK]");
         if (a.size() == 2) return HistoryEntry(s, a[1]);
         return Lines(DataLines(s.Require(26)), "nick");
       }},
      {"accounts", [](TSession& s, const auto& a) { return Accounts(s, a); }},
      {"raw", [](TSession& s, const auto& a) { return Raw(s, a); }},
  };
  return table;
}

void Print(const TOptions& o, const TCommandOutput& out, const TSession& s, std::ostream& os) {
  if (o.json_out) {
    json doc = {{"ok", true}, {"data", out.data}};
    if (!s.Chat().empty()) doc["chat"] = s.Chat();
    if (!s.PlayerChat().empty()) doc["player_chat"] = s.PlayerChat();
    os << doc.dump(2) << "\n";
    return;
  }
  if (!out.header.empty()) PrintTable(os, out.header, out.rows);
  if (!out.text.empty()) os << out.text << "\n";
  for (const auto& l : s.Chat()) os << "chat: " << l << "\n";
  for (const auto& l : s.PlayerChat()) os << "player chat: " << l << "\n";
}

size_t ParseOptions(const std::vector<std::string>& args, TOptions& o) {
  size_t i = 0;
  for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
    const std::string& a = args[i];
    if (a == "--json") {
      o.json_out = true;
      continue;
    }
    if (a == "--compress") {
      o.compress = true;
      continue;
    }
    if (a == "--password")
      throw EUsage("the password is never taken from the command line: use --password-file");
    if (i + 1 >= args.size()) throw EUsage(a + " needs a value");
    const std::string& v = args[++i];
    if (a == "--host") {
      o.host = v;
    } else if (a == "--port") {
      const int32_t p = ToInt(v, "--port");
      if (p <= 0 || p > 65535) throw EUsage("--port: out of range: " + v);
      o.port = static_cast<uint16_t>(p);
    } else if (a == "--user") {
      o.user = v;
    } else if (a == "--password-file") {
      o.password_file = v;
    } else if (a == "--timeout") {
      o.timeout_ms = ToInt(v, "--timeout");
    } else {
      throw EUsage("unknown option " + a);
    }
  }
  return i;
}

}  // namespace

int Run(const std::vector<std::string>& args, TAdminIO io) {
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    (args.empty() ? io.err : io.out) << kUsage << "\n";
    return args.empty() ? 2 : 0;
  }
  TOptions o;
  try {
    const size_t first = ParseOptions(args, o);
    if (first >= args.size()) throw EUsage("no subcommand");
    const std::vector<std::string> sub(args.begin() + static_cast<std::ptrdiff_t>(first), args.end());
    const auto it = Subcommands().find(sub[0]);
    if (it == Subcommands().end()) throw EUsage("unknown subcommand " + sub[0]);
    if (o.user.empty()) throw EUsage("--user is required");
    const std::string password = o.password_file.empty()
                                     ? AskPassword("Password for " + o.user + "@" + o.host + ": ")
                                     : FirstLine(ReadFileText(o.password_file));
    TSession session(o, Utf8ToCp1252(password));
    const TCommandOutput out = it->second(session, sub);
    Print(o, out, session, io.out);
    return 0;
  } catch (const EUsage& e) {
    io.err << "kvadmin: " << e.what() << "\n" << kUsage << "\n";
    return 2;
  } catch (const std::exception& e) {
    if (o.json_out) io.out << json{{"ok", false}, {"error", e.what()}}.dump(2) << "\n";
    io.err << "kvadmin: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace kv::admin
