#pragma once

#include "config/config_document.hpp"
#include "core/result.hpp"

#include <string_view>

namespace corvane::config {

// A section whose name starts with these exact bytes describes one listener.
inline constexpr std::string_view k_listener_prefix = "listener:";

bool is_listener_section(std::string_view section_name) noexcept;
bool is_global_key(std::string_view key) noexcept;
bool is_listener_key(std::string_view key) noexcept;

// Refuses the first key that stands outside its table: global keys belong in
// any section but a listener section, listener keys only there. The refusal is
// logged and copied to standard error; the result is InvalidConfiguration.
Result<void> check_config_keys(const ConfigDocument &document) noexcept;

} // namespace corvane::config
