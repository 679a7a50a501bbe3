#pragma once

#include <string_view>

namespace corvane {

// A byte below 0x20 or DEL: shown as is, it could end a line early or drive
// a terminal.
constexpr bool is_ascii_control(char c) noexcept {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

constexpr char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Domain names, tag names, policy words and header names compare this way:
// A-Z fold to a-z, nothing else folds, and the lengths must match.
constexpr bool ascii_iequal(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

constexpr bool ascii_istarts_with(std::string_view text, std::string_view prefix) noexcept {
  return text.size() >= prefix.size() && ascii_iequal(text.substr(0, prefix.size()), prefix);
}

constexpr bool ascii_iends_with(std::string_view text, std::string_view suffix) noexcept {
  return text.size() >= suffix.size() &&
         ascii_iequal(text.substr(text.size() - suffix.size()), suffix);
}

// The byte sets the system trims with. WhiteSpace is the default set wherever
// trimming is mentioned without a set: SP, TAB, LF, CR, VT and FF.
enum class TrimSet { WhiteSpace, SpTab, SpTabCr, SpTabCrLf };

constexpr bool in_trim_set(char c, TrimSet set) noexcept {
  switch (set) {
  case TrimSet::WhiteSpace:
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  case TrimSet::SpTab: return c == ' ' || c == '\t';
  case TrimSet::SpTabCr: return c == ' ' || c == '\t' || c == '\r';
  case TrimSet::SpTabCrLf: return c == ' ' || c == '\t' || c == '\r' || c == '\n';
  }
  return false;
}

constexpr std::string_view trim_left(std::string_view text,
                                     TrimSet set = TrimSet::WhiteSpace) noexcept {
  std::size_t start = 0;
  while (start < text.size() && in_trim_set(text[start], set))
    ++start;
  return text.substr(start);
}

constexpr std::string_view trim_right(std::string_view text,
                                      TrimSet set = TrimSet::WhiteSpace) noexcept {
  std::size_t end = text.size();
  while (end > 0 && in_trim_set(text[end - 1], set))
    --end;
  return text.substr(0, end);
}

constexpr std::string_view trim(std::string_view text, TrimSet set = TrimSet::WhiteSpace) noexcept {
  return trim_right(trim_left(text, set), set);
}

} // namespace corvane
