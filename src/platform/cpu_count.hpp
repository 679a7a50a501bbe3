#pragma once

#include "core/result.hpp"

#include <cstdint>

namespace corvane::platform {

// The number of CPUs online: hw.ncpu on FreeBSD, sysconf on Linux.
// Errors: PermissionDenied, UnknownName, SystemResources, Unexpected.
Result<std::uint32_t> cpu_count() noexcept;

} // namespace corvane::platform
