#pragma once

#include "milter/hooks.hpp"

namespace corvane::daemon {

// The reload hook of every worker: the thread's resolver goes with its
// cache, so the next evaluation starts from fresh answers.
void reload_worker() noexcept;

// The command hooks every worker gets: end of message and reload; actions
// 0x11 (add and change headers) and protocol flags 0 are offered.
milter::MilterHooks daemon_hooks();

} // namespace corvane::daemon
