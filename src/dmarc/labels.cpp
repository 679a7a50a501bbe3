#include "dmarc/labels.hpp"

#include <algorithm>

namespace corvane::dmarc {

std::uint64_t label_count(std::string_view name) noexcept {
  if (name.empty()) return 0;
  return static_cast<std::uint64_t>(std::count(name.begin(), name.end(), '.')) + 1;
}

std::optional<std::string_view> strip_labels(std::string_view name, std::uint64_t k) noexcept {
  for (std::uint64_t i = 0; i < k; ++i) {
    const auto dot = name.find('.');
    if (dot == std::string_view::npos || dot + 1 == name.size()) return std::nullopt;
    name.remove_prefix(dot + 1);
  }
  return name;
}

std::optional<std::string_view> one_label_below(std::string_view domain,
                                                std::string_view ancestor) noexcept {
  const std::uint64_t b = label_count(domain);
  const std::uint64_t c = label_count(ancestor);
  if (b <= c) return std::nullopt;
  return strip_labels(domain, b - c - 1);
}

} // namespace corvane::dmarc
