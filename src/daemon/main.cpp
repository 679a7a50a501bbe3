#include "core/error.hpp"
#include "daemon/run_daemon.hpp"
#include "log/log.hpp"
#include "log/stderr_lock.hpp"

#include <signal.h>

#include <new>

using namespace corvane;

namespace {

extern "C" void ignore_signal(int) {}

// Writes to closed peers fail with an error instead of ending the process.
void install_sigpipe_handler() noexcept {
  struct sigaction action {};
  action.sa_handler = &ignore_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  (void)::sigaction(SIGPIPE, &action, nullptr);
}

// Reports the error that ended start-up. Nothing here allocates, so running
// out of memory is reported like any other error.
int exit_on(Error error) noexcept {
  log::log_message(log::Severity::err, "fatal: exiting on ", error_name(error));
  log::write_stderr_line({"error: ", error_name(error)});
  return 1;
}

} // namespace

int main(int argc, char **argv) {
  install_sigpipe_handler();
  Result<void> outcome = Error::OutOfMemory;
  try {
    outcome = daemon::run_daemon(std::span<char *const>(argv, static_cast<std::size_t>(argc)));
  } catch (const std::bad_alloc &) {
    outcome = Error::OutOfMemory;
  }
  return outcome ? 0 : exit_on(outcome.error());
}
