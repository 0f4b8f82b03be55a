// The local log-file follower: reads the game server's console log as it
// grows (from its end at start-up), converts it from the console code page
// when the operator set one and hands complete lines to its own line queue.
// It reads only as fast as the queue takes the text (the file is the buffer
// of a burst).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/threads.h"
#include "domain/serverinfo.h"
#include "gamelink/logbuffer.h"
#include "gamelink/logparser.h"

namespace kv {

// While inotify watches the log, its change notices alone wake the
// follower. Where it cannot watch — inotify is unavailable or out of watches,
// or the log lies on a network or FUSE file system, whose changes made
// elsewhere raise no notice — the follower looks at the file this often.
inline constexpr int64_t kFileFallbackPollMs = 1000;
// A line longer than this is passed on in pieces of this size, so that a
// file without line ends cannot grow the follower's memory without bound.
inline constexpr size_t kMaxLineBytes = 4 * 1024 * 1024;

class TFileSession : public TGeneralThread {
 public:
  // Polled once a second before the file is opened until it returns a
  // position (not negative) to follow the file from: the FTP downloader's
  // copy as it was at its first synchronisation, so that nothing the
  // downloader appends before the file is opened is skipped. None: open at
  // once and follow from the end.
  using TReadyFn = std::function<int64_t()>;

  // Creates the line queue (raw kind 3) with the parser, starts the follower
  // and waits until its thread has opened the file and fixed the start
  // position (or failed to). server may be null. Main loop thread.
  static TThreadPtr<TFileSession> Create(const TMohaaServerInfo* server, std::string path,
                                         std::unique_ptr<TLogEventChecker> parser, TReadyFn ready = {});

  TFileSession(const TMohaaServerInfo* server, std::string path, std::unique_ptr<TLogEventChecker> parser,
               TReadyFn ready);
  ~TFileSession() override;

  // Asks the thread to end; it leaves at once (after the piece it is
  // reading) and passes an unfinished last line on. Any thread.
  void Stop() { Terminate(); }
  void Terminate() override;

  // When the file last grew (construction time at first). Any thread.
  double LastNewMessageTime() const { return last_growth_.load(std::memory_order_acquire); }
  bool Running() const { return running_.load(std::memory_order_acquire); }
  // 1 when the follower failed to start.
  int32_t ErrorFlag() const { return error_flag_.load(std::memory_order_acquire); }
  // The last piece passed to the queue, or the start-up error text. Any thread.
  std::string LastText() const;
  const std::string& Path() const { return path_; }
  TLogBuffer& Buffer() { return *buffer_; }
  // True once change notices drive the follower; false while it falls back
  // to looking every kFileFallbackPollMs. Any thread.
  bool Notified() const { return notified_.load(std::memory_order_acquire); }
  // How many times the follower has come back from waiting for a change:
  // for tests and diagnostics. Any thread.
  uint64_t Wakeups() const { return wakeups_.load(std::memory_order_relaxed); }

 protected:
  void Execute() override;

 private:
  class TFile;

  void Open(int64_t start);
  void Watch();
  void WatchFile();
  // The start position the ready function gave; -1: none (the end).
  int64_t WaitForReady();
  void PollFile();
  void ReadNew();
  void Append(std::string_view raw);
  void Deliver(std::string text);
  void FlushTail();
  void CompleteTail();
  // Sleeps until a change notice, Terminate, or ms (-1: no bound).
  void WaitForChange(int64_t ms);
  void SetLastText(const std::string& text);

  const std::string path_;
  TReadyFn ready_;
  const TSettingsReader settings_;  // the server's store (ConsoleCodePage)
  TThreadPtr<TLogBuffer> buffer_;

  std::atomic<bool> running_{false};
  std::atomic<int32_t> error_flag_{0};
  std::atomic<double> last_growth_;
  std::atomic<bool> notified_{false};
  std::atomic<uint64_t> wakeups_{0};
  mutable std::mutex last_text_mutex_;  // guards last_text_; a leaf
  std::string last_text_;

  // Follower thread only.
  std::unique_ptr<TFile> file_;
  // Text after the last line end, not yet passed on. A server that writes
  // its log through a buffer leaves a line cut for seconds; it waits for its
  // end and goes alone only at a stop, a rotation or truncation, or when it
  // reaches kMaxLineBytes.
  std::string tail_;
  bool skip_lf_ = false;  // the last piece ended in CR: a leading LF belongs to it
  int wake_fd_ = -1;      // eventfd: Terminate wakes the wait
  int notify_fd_ = -1;    // inotify on the file and its directories, or -1
  int file_watch_ = -1;   // the watch on the open file itself, or -1
};

}  // namespace kv
