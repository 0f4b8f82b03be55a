// kvtool cipher: enciphers and deciphers streams and texts with the built-in
// pass phrase of a purpose or with a given one, so a person can read and
// write every enciphered file and INI value the system keeps.
#include <optional>

#include "core/cp1252.h"
#include "formats/cipher.h"
#include "tools/kvtool/kvtool.h"

namespace kv::tool {
namespace {

constexpr char kUsage[] =
    "usage: kvtool cipher encipher|decipher (--purpose P | --passphrase TEXT) | "
    "cipher encipher-text|decipher-text (--purpose P | --passphrase TEXT) TEXT  "
    "(P: remote, export, history, update, settings)";

std::optional<TCipherPurpose> ParsePurpose(const std::string& name) {
  if (name == "remote") return TCipherPurpose::RemoteAdmin;
  if (name == "export") return TCipherPurpose::SetupExport;
  if (name == "history") return TCipherPurpose::PlayerHistory;
  if (name == "update") return TCipherPurpose::UpdateService;
  if (name == "settings") return TCipherPurpose::Settings;
  return std::nullopt;
}

struct TCipherArgs {
  std::string mode;
  std::optional<std::string> purpose, passPhrase;
  std::vector<std::string> texts;
};

// Returns an error text, empty when the arguments are well formed.
std::string ParseArgs(const TArgs& args, TCipherArgs& out) {
  if (args.empty()) return kUsage;
  out.mode = args[0];
  bool optionsDone = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!optionsDone && a == "--") {
      optionsDone = true;
    } else if (!optionsDone && (a == "--purpose" || a == "--passphrase")) {
      if (i + 1 >= args.size()) return a + " needs a value";
      auto& slot = a == "--purpose" ? out.purpose : out.passPhrase;
      if (slot) return a + " given twice";
      slot = args[++i];
    } else {
      out.texts.push_back(a);
    }
  }
  if (out.purpose.has_value() == out.passPhrase.has_value()) return "give either --purpose or --passphrase";
  return {};
}

std::optional<TCipher> MakeCipher(const TCipherArgs& a, std::string& error) {
  if (a.passPhrase) return TCipher(Utf8ToCp1252(*a.passPhrase));  // the system keys on Windows-1252 bytes
  const auto purpose = ParsePurpose(*a.purpose);
  if (!purpose) {
    error = "unknown purpose '" + *a.purpose + "' (remote, export, history, update, settings)";
    return std::nullopt;
  }
  return TCipher(*purpose);
}

int RunStream(const TCipher& cipher, bool encipher, TToolIO io) {
  TMemoryStream source(ReadAll(io.in)), destination;
  if (encipher) {
    cipher.EncipherStream(source, destination, source.Size());
  } else {
    cipher.DecipherStream(source, destination, source.Size());
  }
  io.out.write(reinterpret_cast<const char*>(destination.Bytes().data()),
               static_cast<std::streamsize>(destination.Size()));
  return 0;
}

}  // namespace

int CmdCipher(const TArgs& args, TToolIO io) {
  TCipherArgs a;
  if (const std::string error = ParseArgs(args, a); !error.empty()) return Fail(io, error);
  const bool stream = a.mode == "encipher" || a.mode == "decipher";
  const bool text = a.mode == "encipher-text" || a.mode == "decipher-text";
  if (!stream && !text) return Fail(io, kUsage);
  if (stream && !a.texts.empty()) return Fail(io, "unexpected argument '" + a.texts[0] + "'");
  if (text && a.texts.size() != 1) return Fail(io, a.mode + " takes exactly one TEXT");
  std::string error;
  const auto cipher = MakeCipher(a, error);
  if (!cipher) return Fail(io, error);
  if (stream) return RunStream(*cipher, a.mode == "encipher", io);
  if (a.mode == "encipher-text") {
    io.out << cipher->EncipherText(Utf8ToCp1252(a.texts[0])) << "\n";
  } else {
    io.out << Cp1252ToUtf8(cipher->DecipherText(a.texts[0])) << "\n";
  }
  return 0;
}

}  // namespace kv::tool
