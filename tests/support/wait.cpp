#include "tests/support/wait.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace kv::testing {

bool WaitFor(const std::function<bool()>& condition, int64_t timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  // Quick looks first, then at most every 20 ms: cheap for a fast answer,
  // and light on a condition that reads a large file.
  auto pause = std::chrono::milliseconds(1);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return condition();
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace kv::testing
