#include "tools/kvtool/kvtool.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include "app/service_settings.h"
#include "core/cp1252.h"

namespace kv::tool {
namespace {

struct TCommand {
  const char* name;
  int (*run)(const TArgs&, TToolIO);
  const char* usage;
};

const TCommand kCommands[] = {
    {"varlist", CmdVarlist, "varlist dump [FILE] | varlist build [FILE]"},
    {"formula", CmdFormula, "formula check TEXT | formula eval TEXT [NAME=VALUE ...]"},
    {"lzh", CmdLzh, "lzh compress | lzh decompress [--max-length BYTES]   (stdin to stdout)"},
    {"cipher", CmdCipher,
     "cipher encipher|decipher (--purpose P | --passphrase TEXT)   (stdin to stdout)\n"
     "  cipher encipher-text|decipher-text (--purpose P | --passphrase TEXT) TEXT\n"
     "      P: remote, export, history, update, settings"},
    {"md5", CmdMd5, "md5 TEXT"},
    {"setup", CmdSetup, "setup dump FILE   (version and section lengths of a setup export)"},
    {"ini", CmdIni, "ini decipher FILE KEY   (the plain value of an enciphered setting)"},
    {"bans", CmdBans,
     "bans dump FILE | bans build FILE.json   (BanList.dat to JSON and back; build writes to stdout)"},
    {"sprees", CmdSprees,
     "sprees dump FILE | sprees build FILE.json   (KillingSpring.dat to JSON and back; build writes to "
     "stdout)"},
    {"skins", CmdSkins,
     "skins dump FILE | skins build FILE.json   (SkinList.dat to JSON and back; build writes to stdout)"},
    {"eventmessages", CmdEventMessages,
     "eventmessages dump FILE | eventmessages build FILE.json   (EventMessages.dat to JSON and back)"},
    {"weaponbans", CmdWeaponBans,
     "weaponbans dump FILE | weaponbans build FILE.json   (WeaponsBan.dat to JSON and back)"},
    {"triggers", CmdTriggers,
     "triggers dump FILE | triggers build FILE.json   (ChatTrigger.dat to JSON and back)"},
    {"configs", CmdConfigs,
     "configs dump FILE | configs build FILE.json   (Configurations.dat to JSON and back; build writes to "
     "stdout)"},
    {"accounts", CmdAccounts,
     "accounts dump FILE | accounts build FILE.json   (ServerAccess.dat to JSON and back; build writes\n"
     "      to stdout; the dump shows the passwords in plain text)"},
    {"history", CmdHistory,
     "history list DIR | history dump FILE   (player history files)\n"
     "  history export DIR OUT | history import IN DIR   (the plain export stream)"},
};

void Usage(std::ostream& os) {
  os << "usage: kvtool COMMAND ...\n";
  for (const auto& c : kCommands) os << "  " << c.usage << "\n";
}

}  // namespace

std::string ReadAll(std::istream& in) {
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool ReadFileOrStdin(const TArgs& args, size_t index, TToolIO io, std::string& out) {
  if (index >= args.size() || args[index] == "-") {
    out = ReadAll(io.in);
    return true;
  }
  std::ifstream f(args[index], std::ios::binary);
  if (!f) return false;
  out = ReadAll(f);
  return true;
}

int Fail(TToolIO io, const std::string& message) {
  io.err << "kvtool: " << message << "\n";
  return 1;
}

int RunKvtool(const TArgs& args, TToolIO io) {
  // No service runs here to register its parts' settings: the tool knows
  // every key this build has.
  RegisterKnownSettingRows();
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    Usage(args.empty() ? io.err : io.out);
    return args.empty() ? 1 : 0;
  }
  for (const auto& c : kCommands) {
    if (args[0] == c.name) {
      try {
        return c.run(TArgs(args.begin() + 1, args.end()), io);
      } catch (const std::exception& e) {
        // Texts inside the system are Windows-1252; the terminal gets UTF-8.
        return Fail(io, Cp1252ToUtf8(e.what()));
      }
    }
  }
  return Fail(io, "unknown command '" + args[0] + "' (kvtool --help lists them)");
}

}  // namespace kv::tool
