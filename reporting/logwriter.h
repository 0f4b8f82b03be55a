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
#include <unordered_map>

#include "core/bus_monitor.h"
#include "core/bus_subscription.h"
#include "core/snapshot.h"
#include "core/thread_annotations.h"
#include "core/threads.h"
#include "core/unique_fd.h"
#include "domain/server_settings.h"

namespace kv {

class TMohaaEvent;

class TLogWriter {
 public:
  // Subscribes to every category at every level and writes the start banner
  // when GlobalMessages.txt is switched on. home: the default log directory's
  // parent ("Logs" under it) when the configured one is empty.
  TLogWriter(TJournalSettings settings, std::string home);
  // Leaves the bus, writes the stop banner, closes the files.
  ~TLogWriter();
  TLogWriter(const TLogWriter&) = delete;
  TLogWriter& operator=(const TLogWriter&) = delete;

  // Appends text + CR LF to the file (time stamp first when switched on);
  // written when the call returns. A file that cannot be opened or written
  // disables the writer for the rest of the run and posts the reason as a
  // critical "GLOBAL" message. Any thread.
  void WriteLogLine(const std::string& file_name, const std::string& text);
  bool Enabled() const { return enabled_.load(); }
  // New switches and directory, from the next line on. Any thread.
  void SetSettings(TJournalSettings settings) { settings_.Publish(std::move(settings)); }
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
  // An open journal and what is written to it but not yet handed to the
  // system: the handler collects the lines of a batch of messages and
  // writes them with one call when the batch is done (or the text grows).
  struct TOpenFile {
    TUniqueFd fd;
    std::string path;
    std::string pending;
  };
  static constexpr size_t kMaxPendingBytes = 64 * 1024;

  void Handle(const std::string& category, const std::string& text, TMsgData& data, uint8_t level);
  // Appends the line to the file's pending text; writes it out at once
  // (`now`) or when it has grown large.
  void AddLine(const std::string& file_name, const std::string& text, bool now);
  // Under files_mutex_: the open file of that name in the log directory,
  // opened when needed; null (with `path` and, for a failure, `error` set)
  // when it cannot be had.
  TOpenFile* FileFor(const std::string& file_name, std::string& path, std::string& error)
      REQUIRES(files_mutex_);
  // Under files_mutex_: the open file for the path, opened when needed; null
  // (with `error` set when it is a failure) when it cannot be had.
  TOpenFile* OpenFile(const std::string& path, std::string& error) REQUIRES(files_mutex_);
  // Under files_mutex_: writes the pending text; the error text or empty.
  static std::string WritePending(TOpenFile& file);
  // Writes every pending text (the subscriber's idle handler).
  void WritePendingFiles();
  void Failed(const std::string& path, const std::string& error);
  // The settings of the message being handled (taken once per message on
  // the journal thread), else the current ones; keep holds them meanwhile.
  const TJournalSettings& Settings(std::shared_ptr<const TJournalSettings>& keep) const;
  bool Switch(TLogSwitch s) const;
  std::string LogDirectory(const TJournalSettings& settings) const;

  TSnapshot<TJournalSettings> settings_;
  std::string home_;
  std::atomic<bool> enabled_{true};
  TMutex files_mutex_;  // guards everything below up to monitor_; a leaf
  std::map<std::string, TOpenFile> files_ GUARDED_BY(files_mutex_);  // open journals by path
  // The journals of the current log directory by file name.
  bool names_valid_ GUARDED_BY(files_mutex_) = false;
  // The directory setting they were found for.
  std::string names_dir_setting_ GUARDED_BY(files_mutex_);
  // The directory they are in, with a final '/'.
  std::string names_dir_ GUARDED_BY(files_mutex_);
  std::unordered_map<std::string, TOpenFile*> by_name_ GUARDED_BY(files_mutex_);
  TThreadPtr<TMsgMonitor> monitor_;
  TBusSubscription subscription_;  // of monitor_: ends before it
};

}  // namespace kv
