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

std::int64_t deadline_after(std::int64_t now_ms, std::int64_t budget_ms) noexcept {
  if (budget_ms == 0) return k_no_deadline;
  if (budget_ms >= k_no_deadline - now_ms) return k_no_deadline;
  return now_ms + budget_ms;
}

bool deadline_passed(std::int64_t deadline_ms) noexcept {
  return deadline_ms != k_no_deadline && realtime_ms() >= deadline_ms;
}

} // namespace corvane
