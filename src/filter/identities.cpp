#include "filter/identities.hpp"

#include "core/ascii.hpp"
#include "filter/header_text.hpp"

namespace corvane::filter {

namespace {

// Comments say nothing about the address: "alice@bank.example (Alice)" is
// from bank.example. Quoted strings are kept whole, parentheses in them too.
void remove_comments(std::string_view value, std::pmr::string &out) {
  out.clear();
  out.reserve(value.size());
  std::size_t i = 0;
  while (i < value.size()) {
    if (value[i] == '(') {
      i = skip_comment(value, i);
    } else if (value[i] == '"') {
      const std::size_t end = skip_quoted_string(value, i);
      out.append(value.substr(i, end - i));
      i = end;
    } else {
      out.push_back(value[i++]);
    }
  }
}

// Whether more than one of the comma-separated pieces holds an "@". Commas in
// quoted strings and inside angle brackets (a source route) do not separate,
// and a piece without "@" names no address: "Doe, Jane <jane@x.example>" and
// "jane@x.example <jane@x.example>" are one address each.
bool names_several_addresses(std::string_view text) noexcept {
  std::size_t with_at = 0;
  bool at_in_piece = false;
  bool in_angle = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"') {
      const std::size_t end = skip_quoted_string(text, i);
      at_in_piece = at_in_piece || text.substr(i, end - i).find('@') != std::string_view::npos;
      i = end;
      continue;
    }
    if (c == '@') at_in_piece = true;
    if (in_angle) {
      in_angle = c != '>';
    } else if (c == '<') {
      in_angle = true;
    } else if (c == ',') {
      with_at += at_in_piece ? 1 : 0;
      at_in_piece = false;
    }
    ++i;
  }
  with_at += at_in_piece ? 1 : 0;
  return with_at > 1;
}

std::string_view address_of(std::string_view text) noexcept {
  const std::size_t close = text.rfind('>');
  if (close == std::string_view::npos || close == 0) return text;
  const std::size_t open = text.rfind('<', close - 1);
  if (open == std::string_view::npos) return text;
  return text.substr(open + 1, close - open - 1);
}

std::optional<std::string_view> domain_of(std::string_view address) noexcept {
  const std::size_t at = address.rfind('@');
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view domain = trim(address.substr(at + 1));
  if (domain.empty()) return std::nullopt;
  return domain;
}

} // namespace

Result<void> parse_from_value(std::string_view value, AuthorAddress &out) {
  return catch_out_of_memory([&]() -> Result<void> {
    out.address.reset();
    out.domain.reset();
    remove_comments(value, out.text);
    const std::string_view text = trim(out.text);
    out.multiple_addresses = names_several_addresses(text);
    out.address = address_of(text);
    out.domain = domain_of(*out.address);
    return {};
  });
}

Result<void> author_address(std::span<const milter::HeaderField> headers, AuthorAddress &out) {
  for (const auto &header : headers)
    if (ascii_iequal(header.name, "From")) return parse_from_value(header.value, out);
  out.address.reset();
  out.domain.reset();
  out.multiple_addresses = false;
  out.text.clear();
  return {};
}

std::optional<std::string_view>
mail_from_domain(std::optional<std::string_view> argument) noexcept {
  if (!argument) return std::nullopt;
  std::string_view address = *argument;
  if (address.starts_with('<')) address.remove_prefix(1);
  if (address.ends_with('>')) address.remove_suffix(1);
  const std::size_t at = address.rfind('@');
  if (at == std::string_view::npos || at + 1 == address.size()) return std::nullopt;
  return address.substr(at + 1);
}

} // namespace corvane::filter
