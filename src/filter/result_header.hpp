#pragma once

#include "core/result.hpp"

#include <cstddef>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace corvane::filter {

// The first line holds "Authentication-Results: " (24 columns) before the
// value; a token that would end past column 78 moves to a new line.
inline constexpr std::size_t k_result_start_column = 24;
inline constexpr std::size_t k_result_fold_column = 78;

// One property of a result entry: ptype "." property "=" value.
struct ResultProperty {
  std::string_view ptype;
  std::string_view property;
  std::string_view value;
};

// What the daemon states in its own Authentication-Results header.
struct ResultEntry {
  std::string_view method; // always "dmarc" here
  std::string_view result; // the result word, written as it is
  std::optional<std::string_view> comment;
  std::span<const ResultProperty> properties;
};

// A header value under construction and the column its last line has
// reached.
struct FoldedValue {
  FoldedValue(std::pmr::memory_resource *allocator, std::size_t start_column)
      : text(allocator), column(start_column) {}

  std::pmr::string text;
  std::size_t column;
};

// Appends the separator and the token, folding before them (CR LF TAB, the
// separator's trailing SP and TAB dropped) when the token would end past
// column 78 and the line already holds something. Throws std::bad_alloc.
void fold_append(FoldedValue &value, std::string_view separator, std::string_view token);

// The finished value of the result header: the authserv-id, ";", a fold,
// then the entry with its comment and property values escaped, folded at
// column 78, with LF TAB as the fold. Fails only with OutOfMemory.
Result<std::pmr::string> compose_result_value(std::string_view authserv_id,
                                              const ResultEntry &entry,
                                              std::pmr::memory_resource *allocator);

} // namespace corvane::filter
