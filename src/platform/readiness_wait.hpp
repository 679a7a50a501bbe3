#pragma once

#include "core/result.hpp"

namespace corvane::platform {

// Waits at most `timeout_ms` for `fd` to become readable (or to reach end of
// file). true: readable; false: the time ran out. kqueue on FreeBSD, poll on
// Linux. Errors: the wait's own failure.
Result<bool> wait_readable(int fd, int timeout_ms) noexcept;

} // namespace corvane::platform
