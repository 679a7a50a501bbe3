#pragma once

namespace corvane::platform {

// Adds SIGHUP, SIGTERM, SIGINT and SIGPIPE to the calling thread's blocked
// set. The main thread calls it before starting any other thread, so every
// thread inherits the mask and only the main thread's sigwait takes these
// signals; a write to a closed peer then fails with an error instead of
// ending the process.
void block_signals() noexcept;

} // namespace corvane::platform
