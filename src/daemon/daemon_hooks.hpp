#pragma once

#include "config/config.hpp"
#include "daemon/reference_data.hpp"
#include "filter/filter_settings.hpp"
#include "milter/hooks.hpp"

namespace corvane::daemon {

// The reload hook of every worker: the thread's resolver goes with its
// cache, so the next evaluation starts from fresh answers.
void reload_worker() noexcept;

// What the end-of-message hook reads, from the configuration and the
// reference data; both must outlive the workers.
filter::FilterSettings filter_settings(const config::Config &config,
                                       const ReferenceData &reference);

// The command hooks every worker gets: end of message (reading `settings`,
// which must outlive the workers) and reload; actions 0x11 (add and change
// headers) and protocol flags 0 are offered.
milter::MilterHooks daemon_hooks(const filter::FilterSettings &settings);

} // namespace corvane::daemon
