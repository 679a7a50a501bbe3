#pragma once

#include "milter/header_field.hpp"

#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::test {

// A message's headers, in order, as the session would hold them.
inline std::vector<milter::HeaderField>
header_list(std::initializer_list<std::pair<std::string_view, std::string_view>> fields) {
  std::vector<milter::HeaderField> headers;
  for (const auto &[name, value] : fields) {
    milter::HeaderField &field = headers.emplace_back();
    field.name = name;
    field.value = value;
  }
  return headers;
}

} // namespace corvane::test
