#include "platform/bounded_connect.hpp"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <climits>

namespace corvane::platform {

namespace {

Result<void> wait_connected(int fd, std::uint32_t timeout_ms) noexcept {
  const int bound = timeout_ms > INT_MAX ? INT_MAX : static_cast<int>(timeout_ms);
  pollfd watch{fd, POLLOUT, 0};
  int ready = 0;
  do {
    ready = ::poll(&watch, 1, bound);
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
                             std::uint32_t timeout_ms) noexcept {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return error_from_errno(errno);
  Result<void> outcome;
  if (::connect(fd, address, length) != 0) {
    outcome = errno == EINPROGRESS || errno == EINTR ? wait_connected(fd, timeout_ms)
                                                     : Result<void>(error_from_errno(errno));
  }
  // The caller reads and writes with blocking calls of its own bounds.
  if (::fcntl(fd, F_SETFL, flags) != 0 && outcome) return error_from_errno(errno);
  return outcome;
}

} // namespace corvane::platform
