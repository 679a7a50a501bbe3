#pragma once

#include "core/result.hpp"
#include "filter/header_text.hpp"

#include <memory_resource>
#include <optional>
#include <string_view>
#include <vector>

namespace corvane::filter {

// One result entry of an Authentication-Results (or ARC-Authentication-Results)
// value, as views into that value.
struct ResInfo {
  std::string_view method;     // before the entry's first top-level "=", trimmed; never empty
  std::string_view result;     // the token after the "="; never empty
  std::string_view properties; // the rest of the entry, read by find_property
};

// A parsed value. The views borrow the value passed in; the list lives in the
// allocator handed to the parser.
struct AuthResults {
  std::string_view authserv_id;
  std::pmr::vector<ResInfo> results;
};

// True when the value, after leading white space, starts with the authserv-id
// (case-insensitive) followed by its end, SP, TAB or ";". A longer name such
// as "mx.example.net.evil" and a line break after the name do not claim it.
bool authserv_id_matches(std::string_view value, std::string_view authserv_id) noexcept;

// The authserv-id a value claims: after leading white space, the text before
// the first ";" trimmed, or the whole rest when there is no ";". A version
// number after a space is part of it.
std::string_view parse_authserv_id(std::string_view value) noexcept;

// One ";"-separated piece after the authserv-id, as a result entry; none
// without a "=", with an empty method or with an empty result.
std::optional<ResInfo> parse_result_entry(std::string_view piece) noexcept;

// Hands every result entry of the value, in order, to `visit` until it
// returns false. Nothing is allocated: a header is looked through without a
// list of its entries.
template <typename Visit> void for_each_result(std::string_view value, Visit &&visit) {
  constexpr auto npos = std::string_view::npos;
  std::size_t start = find_outside(value, ';');
  while (start != npos) {
    ++start;
    const std::size_t end = find_outside(value, ';', start);
    const auto entry = parse_result_entry(value.substr(start, end == npos ? npos : end - start));
    if (entry && !visit(*entry)) return;
    start = end;
  }
}

// The authserv-id and every result entry of the value. Entries without a "=",
// with an empty method or with an empty result are left out. Fails only with
// OutOfMemory.
Result<AuthResults> parse_auth_results(std::string_view value,
                                       std::pmr::memory_resource *allocator);

// The value of the first property named `name` (for example "header.d"),
// unchanged: surrounding double quotes stay part of it. None when absent.
std::optional<std::string_view> find_property(const ResInfo &entry, std::string_view name) noexcept;

} // namespace corvane::filter
