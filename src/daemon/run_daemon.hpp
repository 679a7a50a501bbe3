#pragma once

#include "core/result.hpp"

#include <span>

namespace corvane::daemon {

// The daemon's main thread from the command line to an orderly shutdown:
// configuration, logging, reference data, process set-up, workers, then
// signals until SIGINT or SIGTERM. Returns success only after the shutdown;
// any error ends start-up (the caller reports it and exits with status 1).
Result<void> run_daemon(std::span<char *const> arguments);

} // namespace corvane::daemon
