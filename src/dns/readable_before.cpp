#include "dns/readable_before.hpp"

#include "core/clock.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace corvane::dns {

Result<bool> readable_before(int fd, std::int64_t until_ms) noexcept {
  for (;;) {
    const std::int64_t left = until_ms - realtime_ms();
    if (left <= 0) return false;
    pollfd watch{fd, POLLIN, 0};
    const int ready = ::poll(&watch, 1, static_cast<int>(std::min<std::int64_t>(left, INT_MAX)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return error_from_errno(errno);
  }
}

} // namespace corvane::dns
