#pragma once

#include "config/config.hpp"
#include "dmarc/public_suffix_list.hpp"
#include "filter/trusted_sealers.hpp"

#include <optional>

namespace corvane::daemon {

// What every evaluation reads besides the configuration: built once at
// start-up, before any other thread exists, and only read afterwards.
struct ReferenceData {
  filter::TrustedSealers trusted_sealers; // empty when not configured or not loadable
  std::optional<dmarc::PublicSuffixList> public_suffix_list;
};

// Loads what is configured; a file that cannot be loaded is logged and
// start-up goes on without it.
ReferenceData load_reference_data(const config::Config &config);

} // namespace corvane::daemon
