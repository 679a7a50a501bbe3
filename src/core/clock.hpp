#pragma once

#include <cstdint>
#include <limits>

namespace corvane {

// Every reading of time in the system (deadlines, elapsed figures, cache
// expiry) comes from the real-time clock.
std::int64_t realtime_ns() noexcept;
std::int64_t realtime_ms() noexcept;
std::int64_t realtime_s() noexcept;

// A deadline in wall-clock milliseconds that never passes.
inline constexpr std::int64_t k_no_deadline = std::numeric_limits<std::int64_t>::max();

// now + budget, or no deadline for a budget of 0. A budget too large to add
// is as good as none.
std::int64_t deadline_after(std::int64_t now_ms, std::int64_t budget_ms) noexcept;

// A deadline is exceeded when the clock is at or past it.
bool deadline_passed(std::int64_t deadline_ms) noexcept;

} // namespace corvane
