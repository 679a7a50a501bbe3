#pragma once

#include "core/result.hpp"

#include <sys/socket.h>

#include <cstdint>

namespace corvane::platform {

// Connects a blocking stream socket, giving up after `timeout_ms`
// milliseconds: a non-blocking connect and a poll for that long, on every
// system, so that the bound can be finer than the whole seconds of FreeBSD's
// TCP_KEEPINIT. The socket is blocking again afterwards.
// Errors: the connect's errno name, ConnectionTimedOut.
Result<void> bounded_connect(int fd, const sockaddr *address, socklen_t length,
                             std::uint32_t timeout_ms) noexcept;

} // namespace corvane::platform
