#pragma once

#include "check/check_resolver.hpp"

#include <span>
#include <string_view>

namespace corvane::check {

inline constexpr int k_exit_ok = 0;
inline constexpr int k_exit_internal_error = 1;
inline constexpr int k_exit_argument_error = 2;

inline constexpr std::size_t k_max_psl_path_bytes = 1023;

// The whole run of corvane-check on the arguments after the program name:
// options, log settings, optional Public Suffix List, resolver, evaluation,
// output. Returns the exit status.
int run_check(std::span<const std::string_view> args);

} // namespace corvane::check
