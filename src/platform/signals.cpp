#include "platform/signals.hpp"

#include <pthread.h>
#include <signal.h>

namespace corvane::platform {

void block_signals() noexcept {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGPIPE);
  (void)::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

} // namespace corvane::platform
