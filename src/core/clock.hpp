#pragma once

#include <cstdint>

namespace corvane {

// Every reading of time in the system (deadlines, elapsed figures, cache
// expiry, the first DNS query id) comes from the real-time clock.
std::int64_t realtime_ns() noexcept;
std::int64_t realtime_ms() noexcept;
std::int64_t realtime_s() noexcept;

} // namespace corvane
