#pragma once

#include "config/config.hpp"
#include "config/config_document.hpp"
#include "core/result.hpp"

#include <string_view>

namespace corvane::config {

// check_config_keys, then build_config; a failure of either is also logged as
// "config parse error: error.<name>".
Result<Config> config_from_document(const ConfigDocument &document);

// Reads, parses and checks the file named on the command line. Failures are
// logged (with the settings in force, at start-up the initial ones) and
// returned.
Result<Config> load_config(std::string_view path);

} // namespace corvane::config
