// kvtool: the operator's toolbox. Each subcommand reads its arguments and
// streams and returns the exit status (0 success, 1 failure with one line
// on the error stream).
#pragma once

#include <iostream>
#include <string>
#include <vector>

namespace kv::tool {

using TArgs = std::vector<std::string>;

struct TToolIO {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

// Runs "kvtool ARGS..." (args without the program name).
int RunKvtool(const TArgs& args, TToolIO io);

// Subcommand groups; args start after the group's name.
int CmdLzh(const TArgs& args, TToolIO io);
int CmdCipher(const TArgs& args, TToolIO io);
int CmdMd5(const TArgs& args, TToolIO io);
int CmdVarlist(const TArgs& args, TToolIO io);
int CmdFormula(const TArgs& args, TToolIO io);
int CmdSetup(const TArgs& args, TToolIO io);
int CmdIni(const TArgs& args, TToolIO io);
int CmdBans(const TArgs& args, TToolIO io);
int CmdSprees(const TArgs& args, TToolIO io);
int CmdSkins(const TArgs& args, TToolIO io);
int CmdEventMessages(const TArgs& args, TToolIO io);
int CmdWeaponBans(const TArgs& args, TToolIO io);
int CmdTriggers(const TArgs& args, TToolIO io);
int CmdAccounts(const TArgs& args, TToolIO io);
int CmdHistory(const TArgs& args, TToolIO io);
int CmdConfigs(const TArgs& args, TToolIO io);

// Helpers shared by the subcommands.
std::string ReadAll(std::istream& in);
bool ReadFileOrStdin(const TArgs& args, size_t index, TToolIO io, std::string& out);
int Fail(TToolIO io, const std::string& message);  // prints "kvtool: message", returns 1

}  // namespace kv::tool
