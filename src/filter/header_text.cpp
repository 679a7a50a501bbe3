#include "filter/header_text.hpp"

namespace corvane::filter {

std::size_t skip_quoted_string(std::string_view text, std::size_t start) noexcept {
  std::size_t i = start + 1;
  while (i < text.size()) {
    if (text[i] == '\\') {
      i += 2;
    } else if (text[i] == '"') {
      return i + 1;
    } else {
      ++i;
    }
  }
  return text.size();
}

// Counts the nesting depth instead of recursing, so a value made of
// thousands of "(" costs no stack.
std::size_t skip_comment(std::string_view text, std::size_t start) noexcept {
  std::size_t depth = 0;
  std::size_t i = start;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\\') {
      i += 2;
      continue;
    }
    ++i;
    if (c == '(') {
      ++depth;
    } else if (c == ')' && --depth == 0) {
      return i;
    }
  }
  return text.size();
}

std::size_t find_outside(std::string_view text, char wanted, std::size_t start) noexcept {
  std::size_t i = start;
  while (i < text.size()) {
    const char c = text[i];
    if (c == wanted) return i;
    if (c == '"') {
      i = skip_quoted_string(text, i);
    } else if (c == '(') {
      i = skip_comment(text, i);
    } else {
      ++i;
    }
  }
  return std::string_view::npos;
}

std::size_t skip_space_and_comments(std::string_view text, std::size_t start,
                                    TrimSet space) noexcept {
  std::size_t i = start;
  while (i < text.size()) {
    if (in_trim_set(text[i], space)) {
      ++i;
    } else if (text[i] == '(') {
      i = skip_comment(text, i);
    } else {
      break;
    }
  }
  return i;
}

std::size_t token_end(std::string_view text, std::size_t start, TrimSet space) noexcept {
  std::size_t i = start;
  while (i < text.size() && text[i] != '(' && !in_trim_set(text[i], space)) {
    if (text[i] == '"') {
      i = skip_quoted_string(text, i);
    } else {
      ++i;
    }
  }
  return i;
}

} // namespace corvane::filter
