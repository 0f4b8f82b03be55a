// Test support for the settings tests: a fresh home directory with its INI
// file installed as the process-wide configuration store, and a data-file
// owner that keeps text lines and notes every call in a shared log.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/datafiles.h"
#include "core/stream.h"
#include "domain/serverinfo.h"
#include "formats/config.h"
#include "tests/support/temp_home.h"

namespace kv::testing {

namespace fs = std::filesystem;

inline bool FakeResolve(const std::string& host, std::string& address, std::string&) {
  address = "10.0.0." + std::to_string(host.size());
  return true;
}

class HomeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OpenConfig();
    info_.SetResolver(&FakeResolve);
  }
  // A new store on the INI file, as after a restart.
  void OpenConfig() {
    info_.UseConfig(nullptr);
    config_.reset();
    file_ = std::make_unique<TConfigFile>(IniPath());
    config_ = std::make_unique<TDynamicConfigData>(file_.get());
    info_.UseConfig(config_.get());
  }
  std::string IniPath() const { return (home_ / "kelvandrome.ini").string(); }
  // The INI as a fresh reader sees it.
  std::string Ini(const std::string& key) {
    return TConfigFile(IniPath()).ReadString("Global", key, "<missing>");
  }
  void WriteIni(const std::string& text) {
    std::ofstream(IniPath(), std::ios::binary) << "[Global]\r\n" << text;
    OpenConfig();
  }
  fs::path DataFile(const std::string& name) const { return home_ / "Data" / name; }
  void WriteData(const std::string& name, const std::string& bytes) {
    fs::create_directories(home_ / "Data");
    std::ofstream(DataFile(name), std::ios::binary) << bytes;
  }
  std::string ReadData(const std::string& name) const {
    const auto b = LoadFileBytes(DataFile(name).string());
    return std::string(b.begin(), b.end());
  }

  TTempHome temp_home_{"settings"};
  fs::path home_ = temp_home_.Path();
  std::unique_ptr<TConfigFile> file_;
  std::unique_ptr<TDynamicConfigData> config_;
  TMohaaServerInfo info_;
};

// An owner of one data file holding text lines. Content "BROKEN" in its
// file or section makes its load fail; fail_save makes it fail halfway
// through writing.
struct TLinesOwner {
  std::string name;
  std::vector<std::string>* log;
  std::vector<std::string> lines;
  bool fail_save = false;

  TDataFileHandler Handler() {
    TDataFileHandler h;
    h.load = [this](TStream& s) {
      log->push_back("load " + name);
      std::vector<std::string> got = ReadTextLines(s);
      if (got.size() == 1 && got[0] == "BROKEN") throw EStreamError("bad data in " + name);
      lines = std::move(got);
    };
    h.save = [this](TStream& s) {
      log->push_back("save " + name);
      WriteTextLines(s, lines);
      if (fail_save) throw EStreamError("disk full");
    };
    return h;
  }
};

}  // namespace kv::testing
