#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

namespace corvane::check {

// What the command line asked for. The texts are views into the arguments.
struct CheckOptions {
  std::string_view from;
  std::optional<std::string_view> mailfrom;
  std::string_view spf = "none";
  std::optional<std::string_view> dkim;
  std::string_view dkim_result = "none";
  std::optional<std::string_view> psl;
  std::string_view nameserver = "127.0.0.1";
  std::uint16_t port = 53;
  std::int64_t budget_ms = 20000; // 0: no budget
};

struct ShowUsage {};

// The message written after "corvane-check: "; the run ends with status 2.
struct ArgumentError {
  std::string_view message;
};

using OptionsOutcome = std::variant<CheckOptions, ShowUsage, ArgumentError>;

// Reads the arguments after the program name, left to right: -h stops the
// reading at once, an error in an earlier argument has ended it before. Then
// checks that --from was given and that the nameserver is an address.
OptionsOutcome read_options(std::span<const std::string_view> args);

} // namespace corvane::check
