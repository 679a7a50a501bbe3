#pragma once

namespace corvane::platform {

// The local syslog daemon's datagram socket.
const char *syslog_socket_path() noexcept;

} // namespace corvane::platform
