#pragma once

#include "core/ascii.hpp"

#include <cstddef>
#include <string_view>

namespace corvane::filter {

// The two nested forms that header-value scanners skip as a unit. A quoted
// string runs from a double quote to the next double quote not escaped by a
// backslash; a comment runs from "(" to the ")" that balances it (comments
// nest). Inside both, a backslash makes the next byte ordinary, and an
// unterminated one runs to the end of the text. Each scanner returns the index
// just past what it skipped and never reads beyond the text.

// `start` is the index of the opening double quote.
std::size_t skip_quoted_string(std::string_view text, std::size_t start) noexcept;

// `start` is the index of the opening parenthesis.
std::size_t skip_comment(std::string_view text, std::size_t start) noexcept;

// The index of the first `wanted` at or after `start` that lies outside quoted
// strings and comments; npos when there is none.
std::size_t find_outside(std::string_view text, char wanted, std::size_t start = 0) noexcept;

// Skips bytes of `space` and comments from `start`.
std::size_t skip_space_and_comments(std::string_view text, std::size_t start,
                                    TrimSet space) noexcept;

// The end of the token that starts at `start`: it stops at a byte of `space`
// or at "(", and takes a quoted string inside it whole.
std::size_t token_end(std::string_view text, std::size_t start, TrimSet space) noexcept;

} // namespace corvane::filter
