// Bounded real-time waits for what another thread or process makes true.
#pragma once

#include <cstdint>
#include <functional>

namespace kv::testing {

// Checks `condition` until it holds or timeout_ms of real time have passed;
// the last result. For progress of other threads and processes that offer
// nothing to block on (a file growing, a child's state); where the code
// under test can be flushed or counted, wait for that instead.
bool WaitFor(const std::function<bool()>& condition, int64_t timeout_ms = 5000);

}  // namespace kv::testing
