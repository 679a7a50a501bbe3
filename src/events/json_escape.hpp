#pragma once

#include <cstddef>
#include <memory_resource>
#include <string>
#include <string_view>

namespace corvane::events {

// Appends `text` as the content of a JSON string (without the quotes): the
// double quote and the backslash are escaped, control bytes become \b \t \n
// \f \r or \u00xx, every valid UTF-8 sequence and 0x7F pass unchanged, and
// each byte that belongs to no valid UTF-8 sequence (overlong forms,
// surrogates, code points above U+10FFFF, stray or truncated sequences)
// becomes \ufffd, so that whatever a header held, the record is valid JSON.
void escape_json(std::string_view text, std::pmr::string &out);

// The number of bytes escape_json appends for `text`.
std::size_t escaped_json_length(std::string_view text) noexcept;

// The length of the valid UTF-8 sequence that starts at text[at], or 0 when
// no valid sequence starts there. Valid means well-formed: the shortest form,
// no surrogate, nothing above U+10FFFF, and complete within the text.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at) noexcept;

} // namespace corvane::events
