// mohsim's game state and its console: what each rcon command answers, in
// the formats the game server prints, and the log lines the game writes.
#include "tools/mohsim/mohsim.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <fstream>

namespace kv::mohsim {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

std::string Pad(const std::string& s, size_t width) {
  return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

// The first word of a console line and the rest after one blank.
void SplitCommand(const std::string& line, std::string& word, std::string& rest) {
  const std::string t = Trim(line);
  const auto sp = t.find(' ');
  word = t.substr(0, sp);
  rest = sp == std::string::npos ? std::string() : Trim(t.substr(sp + 1));
}

// A console argument: a quoted text without its quotes, or the bare text.
std::string Unquote(const std::string& arg) {
  if (arg.size() >= 2 && arg.front() == '"') {
    const auto end = arg.find('"', 1);
    return arg.substr(1, end == std::string::npos ? std::string::npos : end - 1);
  }
  return arg;
}

bool ParseInt(const std::string& s, int& value) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

}  // namespace

std::optional<TSimWeapon> WeaponByName(const std::string& name) {
  static const std::map<std::string, TSimWeapon> names = {
      {"rifle", TSimWeapon::Rifle},     {"sniper", TSimWeapon::Sniper},   {"smg", TSimWeapon::SMG},
      {"mg", TSimWeapon::MG},           {"rocket", TSimWeapon::Rocket},   {"heavy", TSimWeapon::Rocket},
      {"shotgun", TSimWeapon::Shotgun}, {"grenade", TSimWeapon::Grenade}, {"pistol", TSimWeapon::Pistol}};
  const auto it = names.find(Lower(name));
  if (it == names.end()) return std::nullopt;
  return it->second;
}

std::string KillLine(const std::string& killer, const std::string& victim, TSimWeapon weapon) {
  switch (weapon) {
    case TSimWeapon::Rifle: return victim + " was rifled by " + killer;
    case TSimWeapon::Sniper: return victim + " was sniped by " + killer;
    case TSimWeapon::SMG: return victim + " was gunned down by " + killer;
    case TSimWeapon::MG: return victim + " was machine-gunned by " + killer;
    case TSimWeapon::Rocket: return victim + " took " + killer + "'s rocket right in the kisser";
    case TSimWeapon::Shotgun: return victim + " was pumped full of buckshot by " + killer;
    case TSimWeapon::Grenade: return victim + " tripped on " + killer + "'s grenade";
    case TSimWeapon::Pistol: return victim + " was shot in the back by " + killer;
  }
  return victim + " was killed by " + killer;
}

TMohSim::TMohSim(std::string password, std::string log_path)
    : password_(std::move(password)), log_path_(std::move(log_path)) {
  cvars_ = {{"sv_hostname", "Kelvandrome Test Server"},
            {"g_gametype", "2"},
            {"sv_maxclients", "20"},
            {"fraglimit", "0"},
            {"timelimit", "20"},
            {"roundlimit", "0"},
            {"sv_maplist", "dm/mohdm6 dm/mohdm1"}};
}

TMohSim::~TMohSim() { Stop(); }

std::vector<std::string> TMohSim::Commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

std::vector<std::string> TMohSim::HandleDatagram(const std::string& d) {
  if (d.size() < 9 || d.compare(0, 4, "\xFF\xFF\xFF\xFF") != 0) return {};
  size_t pos = 4;
  const bool quake_style = d[pos] != '\x02';
  if (quake_style && !quake_) return {};  // the game server knows only its own form
  if (!quake_style) ++pos;
  if (Lower(d.substr(pos, 5)) != "rcon ") return {};
  pos += 5;
  const auto sp = d.find(' ', pos);
  const std::string password = d.substr(pos, sp == std::string::npos ? std::string::npos : sp - pos);
  std::string command = sp == std::string::npos ? std::string() : d.substr(sp + 1);
  while (!command.empty() && (command.back() == '\n' || command.back() == '\r' || command.back() == '\0'))
    command.pop_back();
  {
    std::lock_guard lock(mutex_);
    commands_.push_back(command);
  }
  ++requests_;
  std::vector<std::string> prints;
  if (password_.empty())
    prints = {"No rconpassword set on the server.\n"};
  else if (password != password_)
    prints = {"Bad rconpassword.\n"};
  else
    prints = Prints(command, quake_style);
  return ReplyDatagrams(prints, quake_style, reply_buffer_);
}

std::vector<std::string> TMohSim::Prints(const std::string& command, bool quake_style) {
  std::string word, rest;
  SplitCommand(command, word, rest);
  if (Lower(word) != "status") return LinePrints(Execute(command, quake_style));
  std::vector<std::string> prints;
  Status(&prints);
  return prints;
}

std::string TMohSim::Execute(const std::string& command, bool quake_style) {
  std::string word, rest;
  SplitCommand(command, word, rest);
  const std::string w = Lower(word);
  if (w == "status") return Status();
  if (w == "say") {
    const std::string text = Unquote(rest);
    return "console: " + text +
           "\nbroadcast: print \"\x02"
           "console: " +
           text + "\\n\"\n";
  }
  if (w == "clientkick") return Kick(rest);
  if (w == "dumpuser") return DumpUser(rest);
  if (w == "map") {
    if (rest.empty()) return "USAGE: map <map name>\n";
    SetMap(Unquote(rest));
    return {};
  }
  if (w == "set" || w == "seta") {
    std::string name, value;
    SplitCommand(rest, name, value);
    if (!name.empty()) SetCvar(name, Unquote(value));
    return {};
  }
  return CvarOrUnknown(word, rest, quake_style);
}

std::string TMohSim::CvarOrUnknown(const std::string& word, const std::string& rest, bool quake_style) {
  std::lock_guard lock(mutex_);
  const auto it = cvars_.find(Lower(word));
  if (!rest.empty()) {  // "name value" sets a cvar, as the game's console does
    cvars_[Lower(word)] = Unquote(rest);
    return {};
  }
  if (it == cvars_.end()) return "Unknown command \"" + word + "\"\n";
  // The Quake III console ends every value with a colour reset.
  const std::string reset = quake_style ? "^7" : "";
  return "\"" + word + "\" is:\"" + it->second + reset + "\" default:\"" + it->second + reset + "\"\n";
}

std::string TMohSim::Status(std::vector<std::string>* prints) const {
  std::lock_guard lock(mutex_);
  std::string out;
  const auto print = [&](const std::string& text) {
    out += text;
    if (prints) prints->push_back(text);
  };
  // One client on IPv6 widens the address column of every row.
  const auto v6 = [](const TSimClient& c) { return c.ip.find(':') != std::string::npos; };
  const size_t address_width = std::any_of(clients_.begin(), clients_.end(), v6) ? 38 : 21;
  print("map: " + map_ + "\n");
  print("num score ping name            lastmsg " + Pad("address", address_width + 1) + "qport rate  \n");
  print("--- ----- ---- --------------- ------- " + std::string(address_width, '-') + " ----- ----- \n");
  char buf[96];
  for (const auto& c : clients_) {
    std::snprintf(buf, sizeof buf, "%3u ", static_cast<unsigned>(c.num));
    print(buf);
    std::snprintf(buf, sizeof buf, "%5i ", c.score);
    print(buf);
    if (c.connecting)
      print("CNCT ");
    else {
      std::snprintf(buf, sizeof buf, "%4u ", static_cast<unsigned>(c.ping));
      print(buf);
    }
    print(Pad(c.name, 15) + " ");
    std::snprintf(buf, sizeof buf, "%7u ", c.lastmsg);
    print(buf);
    const std::string port = ":" + std::to_string(c.port);
    print(Pad(v6(c) ? "[" + c.ip + "]" + port : c.ip + port, address_width) + " ");
    std::snprintf(buf, sizeof buf, "%5u", static_cast<unsigned>(c.qport));
    print(buf);
    std::snprintf(buf, sizeof buf, " %5u", static_cast<unsigned>(c.rate));
    print(buf);
    print("\n");
  }
  print("\n");
  return out;
}

std::string TMohSim::Kick(const std::string& arg) {
  int num = -1;
  if (!ParseInt(Unquote(arg), num)) return "Bad client slot: " + arg + "\n";
  std::lock_guard lock(mutex_);
  const auto it =
      std::find_if(clients_.begin(), clients_.end(), [&](const TSimClient& c) { return c.num == num; });
  if (it == clients_.end()) return "Client " + std::to_string(num) + " is not active\n";
  const std::string name = it->name;
  clients_.erase(it);
  return "broadcast: print \"\x02" + name + " was kicked\\n\"\n";
}

std::string TMohSim::DumpUser(const std::string& arg) const {
  const std::string name = Unquote(arg);
  std::lock_guard lock(mutex_);
  const auto it =
      std::find_if(clients_.begin(), clients_.end(), [&](const TSimClient& c) { return c.name == name; });
  if (it == clients_.end()) return "Player " + name + " is not on the server\n";
  const std::pair<const char*, std::string> keys[] = {
      {"name", it->name},
      {"rate", std::to_string(it->rate)},
      {"snaps", "20"},
      {"dm_playermodel", it->allied_model},
      {"dm_playergermanmodel", it->german_model},
      {"ip", it->ip + ":" + std::to_string(it->port)},
  };
  std::string out = "userinfo\n--------\n";
  for (const auto& [key, value] : keys) out += Pad(key, 20) + ": " + value + "\n";
  return out;
}

// --- the game -----------------------------------------------------------

TSimClient* TMohSim::Find(const std::string& name) {
  const auto it =
      std::find_if(clients_.begin(), clients_.end(), [&](const TSimClient& c) { return c.name == name; });
  return it == clients_.end() ? nullptr : &*it;
}

bool TMohSim::Known(const std::string& name) const {
  std::lock_guard lock(mutex_);
  return std::any_of(clients_.begin(), clients_.end(), [&](const TSimClient& c) { return c.name == name; });
}

int TMohSim::Join(const std::string& name, const std::string& ip, int ping, bool connecting) {
  std::lock_guard lock(mutex_);
  if (name.empty() || Find(name)) return -1;
  int num = 0;
  auto it = clients_.begin();
  for (; it != clients_.end() && it->num == num; ++it) ++num;
  if (num >= kMaxClients) return -1;
  TSimClient c;
  c.num = num;
  c.name = name;
  c.ip = ip;
  c.ping = ping;
  c.connecting = connecting;
  c.port = 12203 + num;
  c.qport = 1000 + num * 397 % 60000;
  c.lastmsg = static_cast<unsigned>(num * 50);
  clients_.insert(it, c);
  return num;
}

bool TMohSim::Leave(const std::string& name) {
  std::lock_guard lock(mutex_);
  const auto before = clients_.size();
  std::erase_if(clients_, [&](const TSimClient& c) { return c.name == name; });
  return clients_.size() != before;
}

bool TMohSim::SetPing(const std::string& name, int ping) {
  std::lock_guard lock(mutex_);
  TSimClient* c = Find(name);
  if (c) c->ping = ping;
  return c != nullptr;
}

bool TMohSim::SetConnecting(const std::string& name, bool connecting) {
  std::lock_guard lock(mutex_);
  TSimClient* c = Find(name);
  if (c) c->connecting = connecting;
  return c != nullptr;
}

bool TMohSim::SetScore(const std::string& name, int score) {
  std::lock_guard lock(mutex_);
  TSimClient* c = Find(name);
  if (c) c->score = score;
  return c != nullptr;
}

bool TMohSim::SetSkins(const std::string& name, const std::string& allied, const std::string& german) {
  std::lock_guard lock(mutex_);
  TSimClient* c = Find(name);
  if (c) {
    c->allied_model = allied;
    c->german_model = german;
  }
  return c != nullptr;
}

std::optional<TSimClient> TMohSim::Client(const std::string& name) const {
  std::lock_guard lock(mutex_);
  for (const auto& c : clients_)
    if (c.name == name) return c;
  return std::nullopt;
}

std::vector<TSimClient> TMohSim::Clients() const {
  std::lock_guard lock(mutex_);
  return clients_;
}

void TMohSim::SetMap(const std::string& map) {
  {
    std::lock_guard lock(mutex_);
    map_ = map;
    for (auto& c : clients_) c.score = 0;
  }
  LogLine("Adding script: '" + map + ".scr'");
}

std::string TMohSim::Map() const {
  std::lock_guard lock(mutex_);
  return map_;
}

void TMohSim::SetCvar(const std::string& name, const std::string& value) {
  std::lock_guard lock(mutex_);
  cvars_[Lower(name)] = value;
}

// --- log lines ------------------------------------------------------------

void TMohSim::LogLine(const std::string& line) {
  if (log_path_.empty()) return;
  std::lock_guard lock(mutex_);
  // Opened per line and flushed at once, as the game does, so a follower
  // sees every line as soon as it is written.
  std::ofstream out(log_path_, std::ios::binary | std::ios::app);
  out << line << '\n';
}

bool TMohSim::Kill(const std::string& killer, const std::string& victim, TSimWeapon weapon) {
  {
    std::lock_guard lock(mutex_);
    TSimClient* k = Find(killer);
    if (!k || !Find(victim)) return false;
    ++k->score;
  }
  LogLine(KillLine(killer, victim, weapon));
  return true;
}

bool TMohSim::Chat(const std::string& name, const std::string& text) {
  if (!Known(name)) return false;
  switch (dialect_.load()) {
    case TChatDialect::Normal: LogLine("CHAT: " + name + ": " + text); break;
    case TChatDialect::Windows: LogLine("clientCommand: " + name + " : dmmessage 0 " + text); break;
    case TChatDialect::Quake: LogLine("ClientCommand: " + name + " : say 0 " + text); break;
  }
  return true;
}

bool TMohSim::JoinTeam(const std::string& name, const std::string& team) {
  if (!Known(name)) return false;
  LogLine(Lower(team) == "spectator" ? "clientCommand: " + name + " : spectator"
                                     : "clientCommand: " + name + " : join_team " + team);
  return true;
}

bool TMohSim::AutoJoinTeam(const std::string& name) {
  if (!Known(name)) return false;
  LogLine("clientCommand: " + name + " : auto_join_team");
  return true;
}

bool TMohSim::ChooseWeapon(const std::string& name, const std::string& weapon) {
  if (!Known(name)) return false;
  LogLine("clientCommand: " + name + " : primarydmweapon " + weapon);
  return true;
}

bool TMohSim::Reload(const std::string& name) {
  if (!Known(name)) return false;
  LogLine("clientCommand: " + name + " : reload");
  return true;
}

}  // namespace kv::mohsim
