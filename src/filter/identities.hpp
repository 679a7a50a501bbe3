#pragma once

#include "core/result.hpp"
#include "milter/header_field.hpp"

#include <memory_resource>
#include <optional>
#include <span>
#include <string_view>

namespace corvane::filter {

// The comment recorded with a fail result when one From header names more
// than one address.
inline constexpr std::string_view k_comment_multiple_from_addresses = "multiple From addresses";

// The author's identity from the first From header. `address` and `domain`
// point into `text`, the header value with its comments removed, written
// into bytes of the allocator handed in (the message's arena): the views
// stay valid as long as the arena does, wherever the object is copied.
struct AuthorAddress {
  explicit AuthorAddress(std::pmr::memory_resource *arena) : allocator(arena) {}

  std::optional<std::string_view> address;
  std::optional<std::string_view> domain; // the Author Domain, case kept
  // The value names more than one address (two comma-separated pieces or two
  // angle-bracketed parts holding an "@", or a list inside the brackets): the
  // message is judged fail rather than by whichever address comes last.
  bool multiple_addresses = false;
  std::string_view text;
  std::pmr::memory_resource *allocator;
};

// The address and Author Domain of one From value. Comments are removed
// first; the address is the text between the last ">" and the last "<"
// before it, or the whole value; the domain is what follows its last "@",
// white space trimmed, none when empty. Fails only with OutOfMemory.
Result<void> parse_from_value(std::string_view value, AuthorAddress &out);

// The same for the first header named From; everything absent without one.
Result<void> author_address(std::span<const milter::HeaderField> headers, AuthorAddress &out);

// The domain of the MAIL FROM argument: one leading "<" and one trailing ">"
// removed, the text after the last "@"; none for the null sender "<>" and
// whenever there is no "@" or it is the last byte.
std::optional<std::string_view> mail_from_domain(std::optional<std::string_view> argument) noexcept;

} // namespace corvane::filter
