// TLogWriter: the category journals. A bus subscriber of every category and
// level that appends one line per event kind to its own file in the log
// directory (Kills.txt, User_Chat.txt, ...), and the operator messages to
// GlobalMessages.txt, each switched by its own setting.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/bus_monitor.h"
#include "core/threads.h"
#include "domain/serverinfo.h"

namespace kv {

class TMohaaEvent;

class TLogWriter {
 public:
  // Subscribes to every category at every level and writes the start banner
  // when GlobalMessages.txt is switched on. home: the default log directory's
  // parent ("Logs" under it) when the configured one is empty.
  TLogWriter(TMohaaServerInfo& info, std::string home);
  // Leaves the bus, writes the stop banner, closes the files.
  ~TLogWriter();
  TLogWriter(const TLogWriter&) = delete;
  TLogWriter& operator=(const TLogWriter&) = delete;

  // Appends text + CR LF to the file (time stamp first when switched on).
  // A file that cannot be opened or written disables the writer for the rest
  // of the run and posts the reason as a critical "GLOBAL" message. Any thread.
  void WriteLogLine(const std::string& file_name, const std::string& text);
  bool Enabled() const { return enabled_.load(); }
  // Waits until every message queued for the writer so far is written.
  bool Flush(int64_t timeout_ms);

  // The line an event gives, and the file it goes to; empty file when the
  // event is not written (its switch is off).
  struct TLine {
    std::string file;
    std::string text;
  };
  TLine EventLine(const TMohaaEvent& event) const;

 private:
  void Handle(const std::string& category, const std::string& text, TMsgData& data, uint8_t level);
  bool Switch(TLogSwitch s) const { return info_.log_switches[s]; }
  std::string LogDirectory() const;

  TMohaaServerInfo& info_;
  std::string home_;
  std::atomic<bool> enabled_{true};
  std::mutex files_mutex_;            // guards files_; a leaf
  std::map<std::string, int> files_;  // open descriptors by path
  TThreadPtr<TMsgMonitor> monitor_;
};

}  // namespace kv
