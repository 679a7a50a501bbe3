#pragma once

#include "core/result.hpp"

#include <cstddef>
#include <span>

namespace corvane::platform {

// Fills `bytes` from the system's random source: getrandom on Linux,
// arc4random_buf on FreeBSD. Errors (Linux only): the system call's error
// name.
Result<void> fill_random(std::span<std::byte> bytes) noexcept;

} // namespace corvane::platform
