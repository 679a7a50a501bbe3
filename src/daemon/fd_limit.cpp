#include "daemon/process_setup.hpp"

#include "log/log.hpp"

#include <sys/resource.h>

#include <limits>

namespace corvane::daemon {

namespace {

// An unlimited limit reads as the largest signed 64-bit number, whatever
// the system's own spelling of "infinity".
std::uint64_t shown(rlim_t limit) noexcept {
  if (limit == RLIM_INFINITY) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::uint64_t>(limit);
}

} // namespace

void set_fd_limit(std::uint64_t requested) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  // Lowered too when the current soft limit is above the request.
  const bool below_hard = limit.rlim_max == RLIM_INFINITY || requested < limit.rlim_max;
  limit.rlim_cur = below_hard ? static_cast<rlim_t>(requested) : limit.rlim_max;
  (void)::setrlimit(RLIMIT_NOFILE, &limit);
  log::log_message(log::Severity::info, "file descriptor limit set to ", shown(limit.rlim_cur),
                   " (requested ", requested, ", hard max ", shown(limit.rlim_max), ")");
}

} // namespace corvane::daemon
