#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane {

// The one reader of numbers written by people (configuration values, command
// line options, record tags). Its rules, the same everywhere:
//   - an optional leading "+";
//   - digits, with "_" allowed between two digits (never first or last);
//   - a leading "-" followed only by zeros (and inner "_") reads as 0;
//   - the value must fit the type; anything else, the empty text and any
//     white space included, does not read.
// The signed readers also take a leading "-" before any digits.
std::optional<std::uint8_t> read_u8(std::string_view text) noexcept;
std::optional<std::uint16_t> read_u16(std::string_view text) noexcept;
std::optional<std::uint32_t> read_u32(std::string_view text) noexcept;
std::optional<std::uint64_t> read_u64(std::string_view text) noexcept;
std::optional<std::int32_t> read_i32(std::string_view text) noexcept;
std::optional<std::int64_t> read_i64(std::string_view text) noexcept;

// The same rules with octal digits (0-7), fitting unsigned 16 bits.
std::optional<std::uint16_t> read_octal_u16(std::string_view text) noexcept;

} // namespace corvane
