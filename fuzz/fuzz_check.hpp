#pragma once

#include <cstdlib>
#include <string_view>

namespace corvane::fuzz {

// A property the target must keep: libFuzzer stops at the abort and keeps the
// input that broke it.
inline void check(bool holds) {
  if (!holds) std::abort();
}

// Whether a view points into the text it was taken from.
inline bool inside(std::string_view part, std::string_view whole) {
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

} // namespace corvane::fuzz
