// The line queue between a log follower (or the rcon transport) and the
// parser: splits incoming text into lines, publishes every line as a raw
// event and hands it to the parser, strictly in arrival order.
//
// Its thread sleeps until text arrives or it is told to end.
//
// Flow control: the queue holds at most about kMaxQueuedBytes of text —
// AddText waits while it is full — and its thread hands on a line only while
// the bus has room (WaitForBusRoom). A burst in the log file therefore stays
// in the file until the parser and the subscribers keep up; nothing is
// dropped.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/threads.h"
#include "domain/domain.h"
#include "domain/serverinfo.h"
#include "gamelink/logparser.h"

namespace kv {

class TLogBuffer : public TWorkerThread {
 public:
  static constexpr size_t kMaxQueuedBytes = 1 << 20;

  // server may be null (the parser then sees no flags). raw_kind is the kind
  // of the raw event posted for each line; the followers use 3.
  explicit TLogBuffer(const TMohaaServerInfo* server, uint8_t raw_kind = ekNewLogFileEntry);
  // Hands on every line still queued (without waiting for the bus), then
  // ends the thread.
  ~TLogBuffer() override;

  // Creates the queue and waits until its thread runs.
  static TThreadPtr<TLogBuffer> Create(const TMohaaServerInfo* server, uint8_t raw_kind = ekNewLogFileEntry);

  // Takes the parser over (replacing any earlier one). Any thread; waits
  // while a line is being parsed (checker lock).
  void SetChecker(std::unique_ptr<TLogEventChecker> checker);

  // Appends text, split into lines at CR, LF or CR LF. The text always
  // starts a new line; a last piece without a line end is a line of its own.
  // While the queue is full it waits until the queue's thread has taken
  // what is queued — unless the queue is ending or StopWaiting was called.
  // Any thread except the queue's own; takes the queue lock.
  void AddText(std::string_view text);
  // From now on nothing waits: AddText queues at once and the thread hands
  // lines on without waiting for the bus. For an owner about to stop its
  // writer and then the queue. Any thread.
  void StopWaiting();
  void Terminate() override;

  // When text was last added (construction time at first). Any thread.
  double LastNewMessageTime() const { return last_add_time_.load(std::memory_order_acquire); }
  // Bytes of text waiting to be handled. Any thread.
  size_t Pending() const;
  // How many times the queue's thread has taken a turn (woken by AddText or
  // the end): for tests and diagnostics. Any thread.
  uint64_t Wakeups() const { return wakeups_.load(std::memory_order_relaxed); }

 protected:
  void Prepare() override;
  void Iteration() override;
  void Finish() override;

 private:
  // Hands on every line of the text queued now.
  void HandleQueued();
  void HandleLine(std::string_view line);
  bool Waiting() const { return !Terminated() && !no_wait_.load(std::memory_order_acquire); }

  const TMohaaServerInfo* server_;
  const uint8_t raw_kind_;
  std::atomic<double> last_add_time_;
  std::atomic<bool> no_wait_{false};
  std::atomic<uint64_t> wakeups_{0};

  // The queue lock: guards chunks_ and queued_bytes_; a leaf.
  mutable std::mutex queue_mutex_;
  std::condition_variable room_cv_;  // AddText waits here for room
  std::deque<std::string> chunks_;   // texts as added, each split when handled
  size_t queued_bytes_ = 0;
  // Guards checker_; held while one line is handled, never while taking the
  // queue lock.
  std::mutex checker_mutex_;
  std::unique_ptr<TLogEventChecker> checker_;
  std::string line_;  // the line being handled; queue thread only
};

// Splits text into lines at CR, LF or CR LF and appends them to `lines`.
void SplitLines(std::string_view text, std::vector<std::string>& lines);

}  // namespace kv
