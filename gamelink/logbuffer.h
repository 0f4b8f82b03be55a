// The line queue between a log follower (or the rcon transport) and the
// parser: splits incoming text into lines, publishes every line as a raw
// event and hands it to the parser, strictly in arrival order.
#pragma once

#include <atomic>
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
  // server may be null (the parser then sees no flags). raw_kind is the kind
  // of the raw event posted for each line; the followers use 3.
  explicit TLogBuffer(const TMohaaServerInfo* server, uint8_t raw_kind = ekNewLogFileEntry);
  ~TLogBuffer() override;

  // Creates the queue and waits until its thread runs.
  static TThreadPtr<TLogBuffer> Create(const TMohaaServerInfo* server, uint8_t raw_kind = ekNewLogFileEntry);

  // Takes the parser over (replacing any earlier one). Any thread; waits
  // while a line is being parsed (checker lock).
  void SetChecker(std::unique_ptr<TLogEventChecker> checker);

  // Appends text, split into lines at CR, LF or CR LF. The text always
  // starts a new line; a last piece without a line end is a line of its own.
  // Any thread (followers, the rcon transport); takes the queue lock briefly
  // and wakes the queue's thread.
  void AddText(std::string_view text);

  // When text was last added (construction time at first). Any thread.
  double LastNewMessageTime() const { return last_add_time_.load(std::memory_order_acquire); }
  // Lines waiting to be handled. Any thread.
  size_t Pending() const;

 protected:
  void Iteration() override;

 private:
  void HandleLine(const std::string& line);

  const TMohaaServerInfo* server_;
  const uint8_t raw_kind_;
  std::atomic<double> last_add_time_;

  mutable std::mutex queue_mutex_;  // guards queue_; a leaf
  std::vector<std::string> queue_;
  // Guards checker_; held while one line is handled, never while taking the
  // queue lock.
  std::mutex checker_mutex_;
  std::unique_ptr<TLogEventChecker> checker_;
};

// Splits text into lines at CR, LF or CR LF and appends them to `lines`.
void SplitLines(std::string_view text, std::vector<std::string>& lines);

}  // namespace kv
