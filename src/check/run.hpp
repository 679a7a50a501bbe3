#pragma once

#include "check/check_resolver.hpp"

#include <span>
#include <string_view>

namespace corvane::check {

inline constexpr int k_exit_ok = 0;
inline constexpr int k_exit_internal_error = 1;
inline constexpr int k_exit_argument_error = 2;

// What the tool writes when memory runs out: a constant, as nothing can be
// built then.
inline constexpr std::string_view k_out_of_memory_line = "error: OutOfMemory\n";

// The whole run of corvane-check on the arguments after the program name:
// options, log settings, optional Public Suffix List, resolver, evaluation,
// output. Returns the exit status.
int run_check(std::span<const std::string_view> args);

} // namespace corvane::check
