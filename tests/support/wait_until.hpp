#pragma once

#include <chrono>
#include <thread>

namespace corvane::test {

// Whether `condition` came to hold within `limit`, looked at every `step`:
// tests of concurrent behaviour wait for what they expect, never for a fixed
// pause, so that a faster or slower machine gives the same answer.
template <typename Condition>
bool wait_until(Condition condition,
                std::chrono::milliseconds limit = std::chrono::milliseconds(10'000),
                std::chrono::milliseconds step = std::chrono::milliseconds(2)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

} // namespace corvane::test
