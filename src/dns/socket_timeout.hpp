#pragma once

#include "core/result.hpp"

#include <cstdint>

namespace corvane::dns {

// Sets SO_RCVTIMEO (and SO_SNDTIMEO when asked) to `timeout_ms`.
Result<void> set_socket_timeouts(int fd, std::uint32_t timeout_ms, bool send_too) noexcept;

} // namespace corvane::dns
