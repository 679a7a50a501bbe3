#pragma once

#include <string_view>

namespace corvane::check {

// Printed on standard output for -h and --help; every line ends with a line feed.
extern const std::string_view k_usage_text;

} // namespace corvane::check
