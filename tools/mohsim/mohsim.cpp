// mohsim's game state and its console: what each rcon command answers, in
// the formats the game server prints, and the log lines the game writes.
#include "tools/mohsim/mohsim.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

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

// The first word of a console line (quoted or not; the game takes the
// command's name from its first argument) and the rest after it.
void SplitCommand(const std::string& line, std::string& word, std::string& rest) {
  const std::string t = Trim(line);
  size_t end = 0;
  if (!t.empty() && t[0] == '"') {
    const auto close = t.find('"', 1);
    word = t.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    end = close == std::string::npos ? t.size() : close + 1;
  } else {
    end = t.find(' ');
    word = t.substr(0, end);
  }
  rest = end >= t.size() ? std::string() : Trim(t.substr(end));
}

// A console argument: a quoted text without its quotes, or the bare text.
std::string Unquote(const std::string& arg) {
  if (arg.size() >= 2 && arg.front() == '"') {
    const auto end = arg.find('"', 1);
    return arg.substr(1, end == std::string::npos ? std::string::npos : end - 1);
  }
  return arg;
}

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool ParseInt(const std::string& s, int& value) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

}  // namespace

// The arguments of a console line as the game splits them: at blanks, a
// double-quoted text being one argument without its quotes.
std::vector<std::string> Arguments(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i >= line.size()) break;
    if (line[i] == '"') {
      const auto end = line.find('"', i + 1);
      out.push_back(line.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1));
      i = end == std::string::npos ? line.size() : end + 1;
    } else {
      const size_t b = i;
      while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
      out.push_back(line.substr(b, i - b));
    }
  }
  return out;
}

TMohSim::TMohSim(std::string password, std::string log_path)
    : password_(std::move(password)), log_path_(std::move(log_path)) {
  const std::pair<const char*, const char*> cvars[] = {{"sv_hostname", "Kelvandrome Test Server"},
                                                       {"g_gametype", "2"},
                                                       {"sv_maxclients", "64"},
                                                       {"fraglimit", "0"},
                                                       {"timelimit", "20"},
                                                       {"roundlimit", "0"},
                                                       {"sv_maplist", "dm/mohdm6 dm/mohdm1"},
                                                       {"g_obituarylocation", "0"}};
  for (const auto& [name, value] : cvars) SetCvarLocked(name, value);
  cvars_["mapname"] = TCvar{"mapname", map_, map_, true};
}

TMohSim::~TMohSim() { Stop(); }

std::vector<std::string> TMohSim::Commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

std::vector<std::string> TMohSim::HandleDatagram(const std::string& d, const std::string& from) {
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
  const auto args = Arguments(command);
  LogLine("Rcon from " + from + ":\n" + (args.empty() ? std::string() : args[0]));
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
    std::lock_guard lock(mutex_);
    const auto it = cvars_.find(Lower(name));
    if (!name.empty() && (it == cvars_.end() || !it->second.read_only)) SetCvarLocked(name, Unquote(value));
    return {};
  }
  return CvarOrUnknown(word, rest, quake_style);
}

std::string TMohSim::CvarOrUnknown(const std::string& word, const std::string& rest, bool quake_style) {
  std::lock_guard lock(mutex_);
  const auto it = cvars_.find(Lower(word));
  if (!rest.empty()) {  // "name value" sets a cvar, as the game's console does
    if (it == cvars_.end() || !it->second.read_only) SetCvarLocked(word, Unquote(rest));
    return {};
  }
  // The game prints nothing at all for a command it does not know.
  if (it == cvars_.end()) return {};
  const TCvar& v = it->second;
  if (quake_style) {  // the Quake III console ends every value with a colour reset
    return "\"" + v.name + "\" is:\"" + v.value + "^7\" default:\"" + v.reset + "^7\"\n";
  }
  std::string out = "\"" + v.name + "\" is:\"" + v.value + "\"";
  if (!v.read_only)  // a read-only cvar has no default to show
    out += v.value == v.reset ? std::string(", the default") : " default:\"" + v.reset + "\"";
  return out + "\n";
}

std::string TMohSim::Status(std::vector<std::string>* prints) const {
  std::lock_guard lock(mutex_);
  const auto now = clock_();
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
    if (c.zombie_until && now >= *c.zombie_until) continue;  // the slot is free again
    std::snprintf(buf, sizeof buf, "%3u ", static_cast<unsigned>(c.num));
    print(buf);
    std::snprintf(buf, sizeof buf, "%5i ", c.score);
    print(buf);
    if (c.connecting)
      print("CNCT ");
    else if (c.zombie_until)
      print("ZMBI ");
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
  const auto args = Arguments(arg);  // a reason after the slot is allowed and not shown
  if (args.empty()) return "Usage: clientkick <client number> [reason]\n";
  const std::string& slot = args[0];
  if (!AllDigits(slot)) return "Bad slot number: " + slot + "\n";
  std::string lines;
  {
    std::lock_guard lock(mutex_);
    int num = 0;
    const bool fits = ParseInt(slot, num);
    if (!fits || num >= CvarInt("sv_maxclients", kMaxClients))
      return "Bad client slot: " + (fits ? std::to_string(num) : slot) + "\n";
    DropExpiredZombies();
    TSimClient* c = FindSlot(num);
    if (!c) {
      // A slot still showing ZMBI has been dropped already: the game prints nothing.
      const bool zombie = std::any_of(clients_.begin(), clients_.end(),
                                      [&](const TSimClient& z) { return z.num == num && z.zombie_until; });
      return zombie ? std::string() : "Client " + std::to_string(num) + " is not active\n";
    }
    lines = "broadcast: print \"\x02" + c->name + " was kicked\\n\"\n";
    lines += "broadcast: print \"" + c->name + " was kicked\\n\"\n";
    if (!c->connecting && c->ping < 999)  // only a client that had entered the game leaves the battle
      lines += "{#" + std::to_string(num) + " | " + c->ip + ":" + std::to_string(c->port) + "} " + c->name +
               " has left the battle\n";
    c->name.clear();
    c->connecting = false;
    c->zombie_until = clock_() + kZombieTime;
  }
  return lines;
}

std::string TMohSim::DumpUser(const std::string& arg) {
  const auto args = Arguments(arg);
  if (args.size() != 1) return "Usage: info <userid>\n";
  const std::string& who = args[0];
  std::lock_guard lock(mutex_);
  // A number is a slot first, as in the game; a player whose name is
  // all digits is still found by name when that slot is empty.
  int num = -1;
  TSimClient* c = AllDigits(who) && ParseInt(who, num) ? FindSlot(num) : nullptr;
  if (!c) c = Find(who);
  if (!c) return "Player " + who + " is not on the server\n";
  const std::pair<const char*, std::string> keys[] = {
      {"name", c->name},
      {"rate", std::to_string(c->rate)},
      {"snaps", "20"},
      {"dm_playermodel", c->allied_model},
      {"dm_playergermanmodel", c->german_model},
      {"ip", c->ip},
  };
  std::string out = "userinfo\n--------\n";
  for (const auto& [key, value] : keys) out += Pad(key, 20) + " : " + value + "\n";
  return out;
}

// --- the game -----------------------------------------------------------

TSimClient* TMohSim::Find(const std::string& name) {
  // A ZMBI slot has no name, and names are never empty.
  const auto it =
      std::find_if(clients_.begin(), clients_.end(), [&](const TSimClient& c) { return c.name == name; });
  return it == clients_.end() || name.empty() ? nullptr : &*it;
}

TSimClient* TMohSim::FindSlot(int num) {
  const auto it = std::find_if(clients_.begin(), clients_.end(),
                               [&](const TSimClient& c) { return c.num == num && !c.zombie_until; });
  return it == clients_.end() ? nullptr : &*it;
}

int TMohSim::CvarInt(const std::string& name, int fallback) const {
  const auto it = cvars_.find(name);
  if (it == cvars_.end()) return fallback;
  return std::atoi(it->second.value.c_str());  // the game reads a cvar's number the same way
}

void TMohSim::DropExpiredZombies() {
  const auto now = clock_();
  std::erase_if(clients_, [&](const TSimClient& c) { return c.zombie_until && now >= *c.zombie_until; });
}

void TMohSim::SetClock(TSimClock clock) {
  std::lock_guard lock(mutex_);
  clock_ = std::move(clock);
}

bool TMohSim::Known(const std::string& name) const {
  std::lock_guard lock(mutex_);
  return std::any_of(clients_.begin(), clients_.end(), [&](const TSimClient& c) { return c.name == name; });
}

int TMohSim::Join(const std::string& name, const std::string& ip, int ping, bool connecting) {
  std::lock_guard lock(mutex_);
  if (name.empty() || Find(name)) return -1;
  DropExpiredZombies();
  int num = 0;
  auto it = clients_.begin();
  for (; it != clients_.end() && it->num == num; ++it) ++num;
  if (num >= std::min(kMaxClients, CvarInt("sv_maxclients", kMaxClients))) return -1;
  TSimClient c;
  c.num = num;
  c.name = name;
  c.ip = ip;
  c.ping = ping;
  c.connecting = connecting;
  c.port = 12203 + num;
  // Every client program picks a qport of its own when it starts, so a new
  // client in a slot shows another qport than the one before it there.
  const int generation = slot_joins_[num]++;
  c.qport = 1000 + (num * 397 + generation * 7919) % 60000;
  // A client in the game sends a packet every frame or so: lastmsg stays
  // within a few tens of milliseconds. Rates are what players pick in
  // the game's network menu, mostly the broadband one.
  static const int kRates[] = {25000, 25000, 20000, 25000, 5000, 25000, 15000, 4000};
  c.rate = kRates[num % 8];
  c.lastmsg = static_cast<unsigned>(num * 17 % 60);
  clients_.insert(it, c);
  return num;
}

bool TMohSim::Leave(const std::string& name) {
  std::lock_guard lock(mutex_);
  const auto before = clients_.size();
  std::erase_if(clients_, [&](const TSimClient& c) { return c.name == name; });
  return clients_.size() != before;
}

bool TMohSim::Rename(const std::string& name, const std::string& new_name) {
  std::lock_guard lock(mutex_);
  TSimClient* c = Find(name);
  if (!c || new_name.empty() || Find(new_name)) return false;
  c->name = new_name;
  return true;
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
  std::vector<TSimClient> out;
  std::copy_if(clients_.begin(), clients_.end(), std::back_inserter(out),
               [](const TSimClient& c) { return !c.zombie_until; });
  return out;
}

void TMohSim::SetMap(const std::string& map) {
  {
    std::lock_guard lock(mutex_);
    map_ = map;
    SetCvarLocked("mapname", map);
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
  SetCvarLocked(name, value);
}

void TMohSim::SetCvarLocked(const std::string& name, const std::string& value) {
  // A cvar made by setting it keeps that first value as its default.
  const auto [it, added] = cvars_.try_emplace(Lower(name), TCvar{name, value, value, false});
  if (!added) it->second.value = value;
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

bool TMohSim::Chat(const std::string& name, const std::string& text) {
  if (!Known(name)) return false;
  switch (dialect_.load()) {
    case TChatDialect::Normal: LogLine("CHAT: " + name + ": " + text); break;
    case TChatDialect::Windows: LogLine("clientCommand: " + name + " : dmmessage 0 " + text); break;
    case TChatDialect::Quake: LogLine("ClientCommand: " + name + " : say 0 " + text); break;
    case TChatDialect::Says: {
      std::string context;
      {
        std::lock_guard lock(mutex_);
        const TSimClient* c = Find(name);
        if (!c) return false;
        context = "{#" + std::to_string(c->num) + " | " + c->ip + ":" + std::to_string(c->port) + "} ";
      }
      LogLine(context + name + " says @all: " + text);
      break;
    }
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
