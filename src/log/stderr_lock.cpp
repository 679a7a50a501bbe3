#include "log/stderr_lock.hpp"

#include "core/write_all.hpp"

#include <unistd.h>

namespace corvane::log {

std::recursive_mutex &stderr_lock() noexcept {
  static std::recursive_mutex lock;
  return lock;
}

void write_stderr(std::string_view text) noexcept {
  std::lock_guard guard(stderr_lock());
  // Nothing is left to report a failure to.
  (void)write_all(STDERR_FILENO, text);
}

} // namespace corvane::log
