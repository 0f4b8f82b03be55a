// mohsim: a simulated game server on 127.0.0.1.
//
//   mohsim [--port N] [--log FILE] [--map MAP] [--chat normal|windows|quake]
//          [--script FILE] [--random PLAYERS] [--events N] [--step MS] [--seed N]
//          [--exit-after-script] [--death-colour] [--rate-limit] [--reply-buffer N] [--quake]
//
// --rate-limit answers 10 rcon requests in a burst and then one a second
// per source address, as the game server does; --reply-buffer sets the text
// bytes per reply datagram (8175); --quake also answers Quake-style
// requests, which the game server ignores.
//
// The rcon password comes from the environment (MOHSIM_RCON_PASSWORD) or the
// first line of --password-file FILE, never from the command line, where
// every user of the machine could read it.
//
// Script lines (one command each, '#' starts a comment, "quoted words" may
// hold blanks):
//   join NAME [IP] [PING]     connect NAME [IP]      leave NAME
//   rename NAME NEWNAME       (same client, slot, address and qport)
//   ping NAME MS              score NAME N           skin NAME ALLIED GERMAN
//   kill KILLER VICTIM rifle|sniper|smg|mg|rocket|shotgun|grenade|pistol ["HIT LOCATION"]
//   suicide NAME ["PHRASE" ["HIT LOCATION"]]         die NAME ["PHRASE" ["HIT LOCATION"]]
//   deathcolour on|off        (the 0x04 byte before death lines; --death-colour)
//   chat NAME TEXT...         team NAME allies|axis|spectator
//   autojoin NAME             weapon NAME rifle|...  reload NAME
//   map MAP                   cvar NAME VALUE...     log TEXT...
//   dialect normal|windows|quake                     wait MS
// "\xHH" in any word stands for that byte ("join \x01Bob" names a player with
// a control byte). A client that joins a slot gets a qport of its own.
// Bullet kills and "shot himself"/"was shot" name the hit location while the
// cvar g_obituarylocation is not 0 ("cvar g_obituarylocation 1", or by rcon).
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>

#include "tools/mohsim/mohsim.h"

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop = true; }

void SleepMs(int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!g_stop && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 20)));
}

int Fail(const std::string& message) {
  std::cerr << "mohsim: " << message << "\n";
  return 1;
}

struct TOptions {
  int port = 12203;
  std::string log = "qconsole.log", map, chat, script, password_file;
  int random_players = 0, events = 1000000, step_ms = 500;
  uint32_t seed = 1;
  bool exit_after_script = false;
  bool death_colour = false;
  bool rate_limit = false, quake = false;
  int reply_buffer = static_cast<int>(kv::mohsim::kReplyBuffer);
};

const char* const kUsage =
    "usage: mohsim [--port N] [--log FILE] [--map MAP] [--chat normal|windows|quake]\n"
    "              [--script FILE] [--exit-after-script] [--death-colour]\n"
    "              [--random PLAYERS] [--events N] [--step MS] [--seed N] [--password-file FILE]\n"
    "              [--rate-limit] [--reply-buffer N] [--quake]\n"
    "The rcon password comes from MOHSIM_RCON_PASSWORD or --password-file.\n"
    "Script commands: join connect leave rename ping score skin kill suicide die deathcolour chat\n"
    "team autojoin weapon reload map cvar log dialect wait (see the comment at the top of main.cpp).\n";

bool ParseOptions(int argc, char** argv, TOptions& o, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      std::exit(0);
    }
    if (a == "--exit-after-script" || a == "--rate-limit" || a == "--quake") {
      if (a == "--rate-limit") o.rate_limit = true;
      if (a == "--quake") o.quake = true;
      if (a == "--exit-after-script") o.exit_after_script = true;
      continue;
    }
    if (a == "--death-colour") {
      o.death_colour = true;
      continue;
    }
    static const std::set<std::string> kWithValue = {
        "--port",   "--log",    "--map",  "--chat", "--script",      "--password-file",
        "--random", "--events", "--step", "--seed", "--reply-buffer"};
    if (!kWithValue.count(a)) {
      error = "unknown option " + a;
      return false;
    }
    if (i + 1 >= argc) {
      error = "missing value for " + a;
      return false;
    }
    const std::string v = argv[++i];
    try {
      if (a == "--port")
        o.port = std::stoi(v);
      else if (a == "--log")
        o.log = v;
      else if (a == "--map")
        o.map = v;
      else if (a == "--chat")
        o.chat = v;
      else if (a == "--script")
        o.script = v;
      else if (a == "--password-file")
        o.password_file = v;
      else if (a == "--random")
        o.random_players = std::stoi(v);
      else if (a == "--events")
        o.events = std::stoi(v);
      else if (a == "--step")
        o.step_ms = std::stoi(v);
      else if (a == "--seed")
        o.seed = static_cast<uint32_t>(std::stoul(v));
      else if (a == "--reply-buffer")
        o.reply_buffer = std::stoi(v);
      else {
        error = "unknown option " + a;
        return false;
      }
    } catch (const std::exception&) {
      error = "bad value for " + a + ": " + v;
      return false;
    }
  }
  if (o.port < 0 || o.port > 65535) {
    error = "bad port";
    return false;
  }
  if (o.reply_buffer < 1) {
    error = "bad value for --reply-buffer";
    return false;
  }
  return true;
}

std::string ReadFile(const std::string& path, bool& ok) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  ok = static_cast<bool>(in);
  return s.str();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kv::mohsim;
  TOptions o;
  std::string error;
  if (!ParseOptions(argc, argv, o, error)) return Fail(error);
  std::string password;
  if (const char* env = std::getenv("MOHSIM_RCON_PASSWORD")) password = env;
  if (!o.password_file.empty()) {
    bool ok = false;
    password = ReadFile(o.password_file, ok);
    if (!ok) return Fail("cannot read " + o.password_file);
    password = password.substr(0, password.find_first_of("\r\n"));
  }
  TMohSim sim(password, o.log);
  sim.SetRateLimit(o.rate_limit);
  sim.SetQuakeDialect(o.quake);
  sim.SetReplyBuffer(static_cast<size_t>(o.reply_buffer));
  if (!o.chat.empty() && !RunScript(sim, "dialect " + o.chat, SleepMs).empty())
    return Fail("unknown dialect " + o.chat);
  if (!o.map.empty()) sim.SetMap(o.map);
  sim.SetDeathColourByte(o.death_colour);
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  if (!sim.Listen(static_cast<uint16_t>(o.port), error)) return Fail(error);
  std::cout << "mohsim: listening on 127.0.0.1:" << sim.Port() << std::endl;
  if (!o.script.empty()) {
    bool ok = false;
    const std::string script = ReadFile(o.script, ok);
    if (!ok) return Fail("cannot read " + o.script);
    if (const std::string failure = RunScript(sim, script, SleepMs); !failure.empty())
      return Fail(o.script + " " + failure);
    if (o.exit_after_script) return 0;
  }
  if (o.random_players > 0) RandomMatch(sim, o.random_players, o.events, o.seed, SleepMs, g_stop, o.step_ms);
  while (!g_stop) SleepMs(100);
  sim.Stop();
  return 0;
}
