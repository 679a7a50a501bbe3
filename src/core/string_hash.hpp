#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace corvane {

// Hashes every string type through its string_view, so that a hash container
// keyed by strings can be searched with a string_view without building a
// string for each lookup. Pair it with std::equal_to<>.
struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

} // namespace corvane
