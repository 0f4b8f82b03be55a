#include "gamelink/logbuffer.h"

#include <exception>

#include "core/bus.h"
#include "core/clock.h"
#include "domain/events.h"

namespace kv {

void SplitLines(std::string_view text, std::vector<std::string>& lines) {
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      return;
    }
    lines.emplace_back(text.substr(start, end - start));
    start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
  }
}

// The longest wait for new text; AddText wakes the thread at once.
constexpr int64_t kQueueIntervalMs = 1;

TLogBuffer::TLogBuffer(const TMohaaServerInfo* server, uint8_t raw_kind)
    : TWorkerThread("TLogBuffer", kQueueIntervalMs),
      server_(server),
      raw_kind_(raw_kind),
      last_add_time_(Now()) {}

TLogBuffer::~TLogBuffer() { TerminateAndJoin(); }

TThreadPtr<TLogBuffer> TLogBuffer::Create(const TMohaaServerInfo* server, uint8_t raw_kind) {
  return MakeThread<TLogBuffer>(server, raw_kind);
}

void TLogBuffer::SetChecker(std::unique_ptr<TLogEventChecker> checker) {
  std::lock_guard lock(checker_mutex_);
  checker_ = std::move(checker);
}

void TLogBuffer::AddText(std::string_view text) {
  {
    std::lock_guard lock(queue_mutex_);
    last_add_time_.store(Now(), std::memory_order_release);
    SplitLines(text, queue_);
  }
  Wake();
}

size_t TLogBuffer::Pending() const {
  std::lock_guard lock(queue_mutex_);
  return queue_.size();
}

void TLogBuffer::Iteration() {
  // Take everything queued so far and handle it without the queue lock, so
  // that a follower delivering a burst never waits for the parser.
  std::vector<std::string> lines;
  {
    std::lock_guard lock(queue_mutex_);
    lines.swap(queue_);
  }
  for (const std::string& line : lines) {
    if (Terminated()) return;  // lines still queued at the end are dropped
    HandleLine(line);
  }
}

void TLogBuffer::HandleLine(const std::string& line) {
  try {
    auto raw = std::make_shared<TMohaaEvent>(raw_kind_, line);
    PostEvent(std::move(raw));
    std::lock_guard lock(checker_mutex_);
    if (checker_) checker_->CheckLogForEvents(server_, line);
  } catch (const std::exception& e) {
    PostGlobal(std::string("TLogBuffer failed with: ") + e.what() + " On Line:" + line, mlCritical);
  }
}

}  // namespace kv
