#pragma once

#include "core/result.hpp"

#include <cstdint>

namespace corvane::dns {

// Waits until `fd` is readable or the wall clock reaches `until_ms`
// (milliseconds). poll on every system: one call per wait, with no queue to
// set up for it. true: readable; false: the time ran out. Errors: the wait's
// own failure.
Result<bool> readable_before(int fd, std::int64_t until_ms) noexcept;

} // namespace corvane::dns
