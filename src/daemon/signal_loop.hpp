#pragma once

#include "milter/worker_pool.hpp"

namespace corvane::daemon {

// The main thread once start-up is done: SIGHUP advances the configuration
// generation and wakes the workers; SIGINT or SIGTERM returns, for the
// shutdown.
void run_signal_loop(milter::WorkerPool &workers) noexcept;

} // namespace corvane::daemon
