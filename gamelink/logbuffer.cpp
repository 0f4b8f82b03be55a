#include "gamelink/logbuffer.h"

#include <exception>

#include "core/bus.h"
#include "core/clock.h"
#include "domain/events.h"

namespace kv {

namespace {

// Calls fn(line) for each line of text: split at CR, LF or CR LF; a last
// piece without a line end is a line of its own.
template <typename Fn>
void ForEachLine(std::string_view text, Fn&& fn) {
  const size_t size = text.size();
  size_t start = 0;
  while (start < size) {
    size_t end = start;
    while (end < size && text[end] != '\n' && text[end] != '\r') ++end;
    fn(text.substr(start, end - start));
    if (end == size) return;
    start = end + (text[end] == '\r' && end + 1 < size && text[end + 1] == '\n' ? 2 : 1);
  }
}

}  // namespace

void SplitLines(std::string_view text, std::vector<std::string>& lines) {
  ForEachLine(text, [&](std::string_view line) { lines.emplace_back(line); });
}

TLogBuffer::TLogBuffer(const TMohaaServerInfo* server, uint8_t raw_kind)
    // Nothing here is timed: the thread sleeps until AddText wakes it (or
    // the end), never looking at an empty queue on its own.
    : TWorkerThread("TLogBuffer", kUntilWoken), server_(server), raw_kind_(raw_kind), last_add_time_(Now()) {}

TLogBuffer::~TLogBuffer() { TerminateAndJoin(); }

TThreadPtr<TLogBuffer> TLogBuffer::Create(const TMohaaServerInfo* server, uint8_t raw_kind) {
  return MakeThread<TLogBuffer>(server, raw_kind);
}

void TLogBuffer::SetChecker(std::unique_ptr<TLogEventChecker> checker) {
  std::lock_guard lock(checker_mutex_);
  checker_ = std::move(checker);
}

void TLogBuffer::AddText(std::string_view text) {
  if (text.empty()) return;
  {
    std::unique_lock lock(queue_mutex_);
    room_cv_.wait(lock, [this] { return queued_bytes_ < kMaxQueuedBytes || !Waiting(); });
    last_add_time_.store(Now(), std::memory_order_release);
    chunks_.emplace_back(text);
    queued_bytes_ += text.size();
  }
  Wake();
}

void TLogBuffer::StopWaiting() {
  {
    std::lock_guard lock(queue_mutex_);
    no_wait_.store(true, std::memory_order_release);
  }
  room_cv_.notify_all();
}

void TLogBuffer::Terminate() {
  TWorkerThread::Terminate();
  { std::lock_guard lock(queue_mutex_); }  // a writer about to wait for room sees the request
  room_cv_.notify_all();
}

size_t TLogBuffer::Pending() const {
  std::lock_guard lock(queue_mutex_);
  return queued_bytes_;
}

void TLogBuffer::Prepare() {
  // This thread paces itself (HandleQueued) and must not wait on its own
  // posts: at the end it hands on what is left without waiting.
  ExemptThisThreadFromBusWaits();
}

void TLogBuffer::Iteration() {
  wakeups_.fetch_add(1, std::memory_order_relaxed);
  HandleQueued();
}

void TLogBuffer::Finish() {
  // Lines queued before the end are handed on, not dropped: the follower
  // passes its last unfinished line on when it stops.
  HandleQueued();
}

void TLogBuffer::HandleQueued() {
  // Take everything queued so far and handle it without the queue lock, so
  // that a follower delivering a burst waits only while the queue is full.
  std::deque<std::string> chunks;
  {
    std::lock_guard lock(queue_mutex_);
    chunks.swap(chunks_);
    queued_bytes_ = 0;
  }
  room_cv_.notify_all();
  TBusPostBatch batch;  // the hub is woken per row of lines, not per line
  for (const std::string& chunk : chunks) {
    ForEachLine(chunk, [this](std::string_view line) {
      // The bus is full: the parser and the subscribers are behind. Wait
      // for them rather than piling the lines up in the bus's queues.
      if (BusFull() && Waiting()) WaitForBusRoom(-1, [this] { return !Waiting(); });
      HandleLine(line);
    });
  }
}

void TLogBuffer::HandleLine(std::string_view line) {
  line_.assign(line);
  try {
    PostEvent(std::make_shared<TMohaaEvent>(raw_kind_, line_));
    std::lock_guard lock(checker_mutex_);
    if (checker_) checker_->CheckLogForEvents(server_, line_);
  } catch (const std::exception& e) {
    PostGlobal(std::string("TLogBuffer failed with: ") + e.what() + " On Line:" + line_, mlCritical);
  }
}

}  // namespace kv
