#include "tests/support/sim_home.h"

#include <fstream>

#include "formats/cipher.h"

namespace kv::testing {

namespace {

// The log exists before the server is made: a service that follows it
// finds a file from the start.
std::string MakeEmptyLog(const std::filesystem::path& path) {
  std::ofstream(path, std::ios::binary).close();
  return path.string();
}

}  // namespace

TSimHome::TSimHome(const std::string& password, const std::string& tag)
    : home_(tag), password_(password), sim_(password, MakeEmptyLog(home_ / "qconsole.log")) {
  if (!sim_.Listen(0, error_) && error_.empty()) error_ = "mohsim does not listen";
}

TSimHome::~TSimHome() { sim_.Stop(); }

std::string TSimHome::IniText(const std::string& extra, const std::string& password) const {
  return "[Global]\r\nRCONHost=" + EncipherText(TCipherPurpose::Settings, "127.0.0.1") +
         "\r\nRCONPORT=" + std::to_string(Port()) +
         "\r\nRCONPASSWORD=" + EncipherText(TCipherPurpose::Settings, password) + "\r\n" + extra;
}

void TSimHome::WriteIni(const std::string& extra, const std::string& password) const {
  std::ofstream(home_ / "kelvandrome.ini", std::ios::binary) << IniText(extra, password);
}

}  // namespace kv::testing
