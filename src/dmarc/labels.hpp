#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane::dmarc {

// The number of "." bytes plus one; 0 for the empty name. A trailing dot
// counts as a label of its own: "example.com." has 3.
std::uint64_t label_count(std::string_view name) noexcept;

// The name without its k leftmost labels; nothing when that would leave an
// empty name (as with "com." stripped once).
std::optional<std::string_view> strip_labels(std::string_view name, std::uint64_t k) noexcept;

// The right-most part of domain with one label more than ancestor. Only the
// label counts are compared: the domain is taken to end in the ancestor.
std::optional<std::string_view> one_label_below(std::string_view domain,
                                                std::string_view ancestor) noexcept;

} // namespace corvane::dmarc
