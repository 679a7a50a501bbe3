#include "filter/result_header.hpp"

#include "core/ascii.hpp"
#include "filter/header_text.hpp"

namespace corvane::filter {

namespace {

constexpr std::string_view k_fold = "\r\n\t";

constexpr bool is_bare_value_byte(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '@' || c == '_';
}

bool is_bare_value(std::string_view value) noexcept {
  if (value.empty()) return false;
  for (const char c : value)
    if (!is_bare_value_byte(c)) return false;
  return true;
}

// Control bytes become "?" so that nothing taken from the message can end a
// line or break the header; the listed bytes get a backslash.
void append_escaped(std::pmr::string &out, std::string_view text, std::string_view escaped) {
  for (const char c : text) {
    if (is_ascii_control(c)) {
      out.push_back('?');
      continue;
    }
    if (escaped.find(c) != std::string_view::npos) out.push_back('\\');
    out.push_back(c);
  }
}

void append_property(std::pmr::string &out, const ResultProperty &property) {
  out.append(" ").append(property.ptype).append(".").append(property.property).append("=");
  if (is_bare_value(property.value)) {
    out.append(property.value);
    return;
  }
  out.push_back('"');
  append_escaped(out, property.value, "\\\"");
  out.push_back('"');
}

std::pmr::string entry_text(const ResultEntry &entry, std::pmr::memory_resource *allocator) {
  std::pmr::string out(allocator);
  out.append(entry.method).append("=").append(entry.result);
  if (entry.comment) {
    out.append(" (");
    append_escaped(out, *entry.comment, "()\\");
    out.push_back(')');
  }
  for (const ResultProperty &property : entry.properties)
    append_property(out, property);
  return out;
}

// Tokens are separated by white space; a comment and a quoted string are
// each part of one token, so folding never splits them. Runs of white space
// collapse to one space.
void append_tokens(FoldedValue &value, std::string_view text) {
  bool first = true;
  std::size_t i = 0;
  for (;;) {
    const std::size_t start = text.size() - trim_left(text.substr(i)).size();
    if (start == text.size()) return;
    const std::size_t end = text[start] == '(' ? skip_comment(text, start)
                                               : token_end(text, start, TrimSet::WhiteSpace);
    const bool spaced = start > i;
    fold_append(value, spaced && !first ? " " : "", text.substr(start, end - start));
    first = false;
    i = end;
  }
}

// Milter header values carry bare LF line ends.
void to_bare_line_feeds(std::pmr::string &text) noexcept {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    text[kept++] = text[i];
  }
  text.resize(kept);
}

} // namespace

void fold_append(FoldedValue &value, std::string_view separator, std::string_view token) {
  if (value.column > 1 && value.column + separator.size() + token.size() > k_result_fold_column) {
    value.text.append(trim_right(separator, TrimSet::SpTab)).append(k_fold);
    value.column = 1;
  } else {
    value.text.append(separator);
    value.column += separator.size();
  }
  value.text.append(token);
  value.column += token.size();
}

Result<std::pmr::string> compose_result_value(std::string_view authserv_id,
                                              const ResultEntry &entry,
                                              std::pmr::memory_resource *allocator) {
  return catch_out_of_memory([&]() -> Result<std::pmr::string> {
    FoldedValue value(allocator, k_result_start_column);
    fold_append(value, "", authserv_id);
    value.text.append(";").append(k_fold);
    value.column = 1;
    append_tokens(value, entry_text(entry, allocator));
    to_bare_line_feeds(value.text);
    return std::move(value.text);
  });
}

} // namespace corvane::filter
