#include "log/stderr_lock.hpp"

#include "core/ascii.hpp"
#include "core/write_all.hpp"
#include "log/log.hpp"

#include <unistd.h>

#include <array>

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

void write_stderr_line(std::initializer_list<std::string_view> pieces) noexcept {
  // The text goes out in buffer-sized writes, all under the lock, so a long
  // key or value is never cut.
  std::lock_guard guard(stderr_lock());
  std::array<char, k_line_size> buffer;
  std::size_t length = 0;
  const auto put = [&](char c) {
    buffer[length++] = is_ascii_control(c) ? '_' : c;
    if (length == buffer.size()) {
      write_stderr({buffer.data(), length});
      length = 0;
    }
  };
  for (std::string_view piece : pieces)
    for (const char c : piece)
      put(c);
  buffer[length++] = '\n';
  write_stderr({buffer.data(), length});
}

} // namespace corvane::log
