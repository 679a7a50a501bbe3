#include "dns/socket_timeout.hpp"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

namespace corvane::dns {

Result<void> set_socket_timeouts(int fd, std::uint32_t timeout_ms, bool send_too) noexcept {
  timeval bound{};
  bound.tv_sec = static_cast<time_t>(timeout_ms / 1000);
  bound.tv_usec = static_cast<suseconds_t>(timeout_ms % 1000) * 1000;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound)) != 0)
    return error_from_errno(errno);
  if (send_too && ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof(bound)) != 0)
    return error_from_errno(errno);
  return {};
}

} // namespace corvane::dns
