#pragma once

#include "core/result.hpp"

#include <sys/socket.h>

#include <cstdint>

namespace corvane::platform {

// Connects a blocking stream socket, giving up after `timeout_s` seconds.
// FreeBSD bounds the handshake with TCP_KEEPINIT (a failure to set it is
// ignored); Linux has no such option and uses a non-blocking connect and a
// poll for the same time. Errors: the connect's errno name, ConnectionTimedOut.
Result<void> bounded_connect(int fd, const sockaddr *address, socklen_t length,
                             std::uint32_t timeout_s) noexcept;

} // namespace corvane::platform
