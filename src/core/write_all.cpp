#include "core/write_all.hpp"

#include <unistd.h>

#include <cerrno>

namespace corvane {

Result<void> write_all(int fd, std::string_view text) noexcept {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return error_from_errno(errno);
    }
    if (written == 0) return Error::BrokenPipe;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

} // namespace corvane
