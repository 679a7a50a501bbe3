#include "daemon/signal_loop.hpp"

#include "log/log.hpp"

#include <signal.h>

namespace corvane::daemon {

using log::log_message;
using log::Severity;

void run_signal_loop(milter::WorkerPool &workers) noexcept {
  sigset_t waited;
  sigemptyset(&waited);
  sigaddset(&waited, SIGHUP);
  sigaddset(&waited, SIGINT);
  sigaddset(&waited, SIGTERM);
  for (;;) {
    int signal_number = 0;
    if (::sigwait(&waited, &signal_number) != 0) continue;
    if (signal_number == SIGHUP) {
      log_message(Severity::info, "SIGHUP received, reloading configuration...");
      const std::uint64_t generation = workers.reload();
      log_message(Severity::info, "SIGHUP: config generation advanced to ", generation);
      continue;
    }
    log_message(Severity::info, "shutdown signal ", signal_number,
                " received, draining connections...");
    return;
  }
}

} // namespace corvane::daemon
