// A simulated game server for one test: listening on a free loopback port,
// with a password, writing its console log into a temporary home of its own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "tests/support/temp_home.h"
#include "tools/mohsim/mohsim.h"

namespace kv::testing {

class TSimHome {
 public:
  explicit TSimHome(const std::string& password = "secret", const std::string& tag = "sim");
  ~TSimHome();
  TSimHome(const TSimHome&) = delete;
  TSimHome& operator=(const TSimHome&) = delete;

  // Empty once the server listens; else why it does not.
  const std::string& Error() const { return error_; }
  bool Started() const { return error_.empty(); }

  mohsim::TMohSim& Sim() { return sim_; }
  uint16_t Port() const { return sim_.Port(); }
  const std::string& Password() const { return password_; }
  const std::filesystem::path& Home() const { return home_.Path(); }
  // The console log, there (empty) from the start.
  std::filesystem::path Log() const { return home_ / "qconsole.log"; }

  // The settings text that points the service at this server (host, port
  // and `password`, enciphered as the service stores them), then `extra`
  // as it is ("Key=value\r\n" lines).
  std::string IniText(const std::string& extra = {}) const { return IniText(extra, password_); }
  std::string IniText(const std::string& extra, const std::string& password) const;
  // Writes it as the home's kelvandrome.ini.
  void WriteIni(const std::string& extra = {}) const { WriteIni(extra, password_); }
  void WriteIni(const std::string& extra, const std::string& password) const;

 private:
  TTempHome home_;
  std::string password_;
  mohsim::TMohSim sim_;
  std::string error_;
};

}  // namespace kv::testing
