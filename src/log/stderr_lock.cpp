#include "log/stderr_lock.hpp"

#include <cerrno>
#include <unistd.h>

namespace corvane::log {

std::recursive_mutex &stderr_lock() noexcept {
  static std::recursive_mutex lock;
  return lock;
}

void write_stderr(std::string_view text) noexcept {
  std::lock_guard guard(stderr_lock());
  while (!text.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

} // namespace corvane::log
