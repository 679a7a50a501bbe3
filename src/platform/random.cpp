#include "platform/random.hpp"

#if defined(__FreeBSD__)
#include <stdlib.h>
#else
#include <sys/random.h>
#endif

#include <cerrno>

namespace corvane::platform {

#if defined(__FreeBSD__)

Result<void> fill_random(std::span<std::byte> bytes) noexcept {
  ::arc4random_buf(bytes.data(), bytes.size());
  return {};
}

#else

Result<void> fill_random(std::span<std::byte> bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t got = ::getrandom(bytes.data(), bytes.size(), 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return error_from_errno(errno);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(got));
  }
  return {};
}

#endif

} // namespace corvane::platform
