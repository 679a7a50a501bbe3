#pragma once

#include "core/result.hpp"

#include <pthread.h>

#include <cstddef>
#include <functional>

namespace corvane::platform {

// Worker and monitor threads run deep call chains (evaluation, DNS, logging
// into stack buffers); they get a large stack and a guard page below it.
inline constexpr std::size_t k_thread_stack_bytes = 16 * 1024 * 1024;
inline constexpr std::size_t k_thread_guard_bytes = 4096;

// A started thread that must be joined exactly once.
class Thread {
public:
  Thread() noexcept = default;
  Thread(const Thread &) = delete;
  Thread &operator=(const Thread &) = delete;
  Thread(Thread &&other) noexcept : handle_(other.handle_), joinable_(other.joinable_) {
    other.joinable_ = false;
  }
  Thread &operator=(Thread &&other) noexcept;
  // A thread still running here is a bug of the owner: it is joined, so
  // nothing it uses is released under it.
  ~Thread() { join(); }

  bool joinable() const noexcept { return joinable_; }
  void join() noexcept;

private:
  friend Result<Thread> start_thread(std::function<void()> body) noexcept;
  pthread_t handle_{};
  bool joinable_ = false;
};

// Runs `body` on a new thread with a 16 MiB stack and a 4096-byte guard. The
// thread inherits the caller's signal mask.
// Errors: OutOfMemory, SystemResources (the system refused for lack of
// resources), Unexpected.
Result<Thread> start_thread(std::function<void()> body) noexcept;

} // namespace corvane::platform
