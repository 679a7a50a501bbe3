#include "platform/bounded_connect.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>

#include <cerrno>
#include <climits>

namespace corvane::platform {

#if defined(__FreeBSD__)

Result<void> bounded_connect(int fd, const sockaddr *address, socklen_t length,
                             std::uint32_t timeout_s) noexcept {
  const int seconds = timeout_s > INT_MAX ? INT_MAX : static_cast<int>(timeout_s);
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINIT, &seconds, sizeof(seconds));
  while (::connect(fd, address, length) != 0) {
    if (errno != EINTR) return error_from_errno(errno);
  }
  return {};
}

#else

namespace {

Result<void> wait_connected(int fd, std::uint32_t timeout_s) noexcept {
  const std::uint64_t ms = static_cast<std::uint64_t>(timeout_s) * 1000;
  const int timeout_ms = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
  pollfd watch{fd, POLLOUT, 0};
  int ready = 0;
  do {
    ready = ::poll(&watch, 1, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return error_from_errno(errno);
  if (ready == 0) return Error::ConnectionTimedOut;
  int failure = 0;
  socklen_t size = sizeof(failure);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) != 0) return error_from_errno(errno);
  if (failure != 0) return error_from_errno(failure);
  return {};
}

} // namespace

Result<void> bounded_connect(int fd, const sockaddr *address, socklen_t length,
                             std::uint32_t timeout_s) noexcept {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return error_from_errno(errno);
  Result<void> outcome;
  if (::connect(fd, address, length) != 0) {
    outcome = errno == EINPROGRESS || errno == EINTR ? wait_connected(fd, timeout_s)
                                                     : Result<void>(error_from_errno(errno));
  }
  // The caller reads and writes with blocking calls bounded by socket timeouts.
  if (::fcntl(fd, F_SETFL, flags) != 0 && outcome) return error_from_errno(errno);
  return outcome;
}

#endif

} // namespace corvane::platform
