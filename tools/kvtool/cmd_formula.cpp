// kvtool formula check|eval: lets the operator try a score formula or a
// statistics line before putting it into the settings.
#include "core/cp1252.h"
#include "core/regional.h"
#include "formula/arith.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

constexpr const char* kUsage = "usage: kvtool formula check TEXT | formula eval TEXT [NAME=VALUE ...]";

// The messages carry their own line breaks (CR LF, LF CR, a lone CR); they
// are shown escaped so the report stays one line and every byte is visible.
std::string Shown(const std::string& message) {
  std::string out;
  for (char c : Cp1252ToUtf8(message)) {
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\\')
      out += "\\\\";
    else
      out += c;
  }
  return out;
}

// NAME=VALUE: a number when VALUE reads as one (decimal comma), else a string.
bool SetVariable(TArith& arith, const std::string& arg) {
  const size_t eq = arg.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  const std::string value = Utf8ToCp1252(arg.substr(eq + 1));
  double number;
  const std::string name = Utf8ToCp1252(arg.substr(0, eq));
  if (regional::TryStrToFloat(value, number))
    arith.Variables().SetValue(name, TVariant(number));
  else
    arith.Variables().SetValue(name, TVariant(value));
  return true;
}

int Check(const TArgs& args, TToolIO io) {
  const std::string text = TArith::Normalize(Utf8ToCp1252(args[1]));
  io.out << Cp1252ToUtf8(text) << "\n";
  const std::string message = TArith::CheckSyntax(text);
  return message.empty() ? 0 : Fail(io, Shown(message));
}

int Eval(const TArgs& args, TToolIO io) {
  TArith arith;
  for (size_t i = 2; i < args.size(); ++i)
    if (!SetVariable(arith, args[i])) return Fail(io, "variable '" + args[i] + "' is not NAME=VALUE");
  const std::string text = TArith::Normalize(Utf8ToCp1252(args[1]));
  const std::string message = TArith::CheckSyntax(text);
  if (!message.empty()) return Fail(io, Shown(message));
  try {
    io.out << Cp1252ToUtf8(ArithValueToText(arith.Evaluate(text))) << "\n";
  } catch (const EArithError& e) {
    return Fail(io, Shown(e.what()));
  }
  return 0;
}

}  // namespace

int CmdFormula(const TArgs& args, TToolIO io) {
  if (args.size() == 2 && args[0] == "check") return Check(args, io);
  if (args.size() >= 2 && args[0] == "eval") return Eval(args, io);
  return Fail(io, kUsage);
}

}  // namespace kv::tool
