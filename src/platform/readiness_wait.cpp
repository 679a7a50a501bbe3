#include "platform/readiness_wait.hpp"
#include "platform/new_kqueue.hpp"

#include "core/clock.hpp"
#include "core/unique_fd.hpp"

#include <algorithm>
#include <cerrno>

#if defined(__FreeBSD__)
#include <sys/event.h>
#else
#include <poll.h>
#endif

namespace corvane::platform {

#if defined(__FreeBSD__)

Result<bool> wait_readable(int fd, int timeout_ms) noexcept {
  UniqueFd queue(new_kqueue());
  if (!queue) return error_from_errno(errno);
  struct kevent change {};
  EV_SET(&change, static_cast<uintptr_t>(fd), EVFILT_READ, EV_ADD, 0, 0, nullptr);
  const std::int64_t deadline = realtime_ms() + timeout_ms;
  for (;;) {
    const std::int64_t left = std::max<std::int64_t>(0, deadline - realtime_ms());
    const timespec limit{static_cast<time_t>(left / 1000),
                         static_cast<long>(left % 1000) * 1'000'000};
    struct kevent event {};
    const int count = ::kevent(queue.get(), &change, 1, &event, 1, &limit);
    if (count > 0) return true;
    if (count == 0) return false;
    if (errno != EINTR) return error_from_errno(errno);
  }
}

#else

Result<bool> wait_readable(int fd, int timeout_ms) noexcept {
  const std::int64_t deadline = realtime_ms() + timeout_ms;
  for (;;) {
    const std::int64_t left = deadline - realtime_ms();
    pollfd watch{fd, POLLIN, 0};
    const int count = ::poll(&watch, 1, left < 0 ? 0 : static_cast<int>(left));
    if (count > 0) return true;
    if (count == 0) return false;
    if (errno != EINTR) return error_from_errno(errno);
  }
}

#endif

} // namespace corvane::platform
