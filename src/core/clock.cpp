#include "core/clock.hpp"

#include <ctime>

namespace corvane {

std::int64_t realtime_ns() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::int64_t realtime_ms() noexcept { return realtime_ns() / 1'000'000; }

std::int64_t realtime_s() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec);
}

bool deadline_passed(std::int64_t deadline_ms) noexcept {
  return deadline_ms != k_no_deadline && realtime_ms() >= deadline_ms;
}

} // namespace corvane
