#pragma once

#include "config/config.hpp"
#include "config/config_document.hpp"
#include "config/load_config.hpp"
#include "log/log.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace corvane::config::test {

inline ConfigDocument parse(std::string_view text) {
  auto document = parse_config_text(text);
  EXPECT_TRUE(document.has_value());
  return std::move(*document);
}

// The whole path of load_config after the file is read.
inline Result<Config> config_from_text(std::string_view text) {
  log::install_log_settings(log::initial_log_settings());
  return config_from_document(parse(text));
}

inline Config expect_config(std::string_view text) {
  auto config = config_from_text(text);
  EXPECT_TRUE(config.has_value()) << "refused: " << text;
  return config ? std::move(*config) : Config{};
}

// What the initial log settings put before every line on standard error.
inline std::string log_prefix() { return "pellwyn[" + std::to_string(::getpid()) + "]: "; }

} // namespace corvane::config::test
