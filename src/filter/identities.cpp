#include "filter/identities.hpp"

#include "core/ascii.hpp"
#include "filter/header_text.hpp"

namespace corvane::filter {

namespace {

// Comments say nothing about the address: "alice@bank.example (Alice)" is
// from bank.example. Quoted strings are kept whole, parentheses in them too.
// The text lives in bytes of the arena, never inside a string object, so a
// short value is not kept in an object that goes away before the message.
std::string_view remove_comments(std::string_view value, std::pmr::memory_resource *allocator) {
  if (value.empty()) return {};
  char *const out = static_cast<char *>(allocator->allocate(value.size(), 1));
  std::size_t used = 0;
  std::size_t i = 0;
  while (i < value.size()) {
    if (value[i] == '(') {
      i = skip_comment(value, i);
    } else if (value[i] == '"') {
      const std::size_t end = skip_quoted_string(value, i);
      value.copy(out + used, end - i, i);
      used += end - i;
      i = end;
    } else {
      out[used++] = value[i++];
    }
  }
  return {out, used};
}

bool holds_at(std::string_view text) noexcept { return text.find('@') != std::string_view::npos; }

// The index of the ">" that closes the angle bracket at `open` (a ">" in a
// quoted string does not), or the end of the text.
std::size_t angle_close(std::string_view text, std::size_t open) noexcept {
  std::size_t i = open + 1;
  while (i < text.size() && text[i] != '>')
    i = text[i] == '"' ? skip_quoted_string(text, i) : i + 1;
  return i;
}

// What one From value names, counted for the bypasses that make mail programs
// show one author while the domain would be taken from another.
struct AddressCount {
  std::size_t pieces = 0;    // comma-separated pieces holding an "@"
  std::size_t bracketed = 0; // angle-bracketed parts holding an "@"
  bool bracket_lists_several = false;
};

bool lists_several(std::string_view bracketed) noexcept;

// Commas in quoted strings do not separate pieces, nor do commas inside angle
// brackets; with `brackets` off, "<" and ">" are ordinary bytes.
AddressCount count_addresses(std::string_view text, bool brackets) noexcept {
  AddressCount count;
  bool at_in_piece = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    std::size_t next = i + 1;
    if (c == '"') {
      next = skip_quoted_string(text, i);
      at_in_piece = at_in_piece || holds_at(text.substr(i, next - i));
    } else if (c == '<' && brackets) {
      const std::size_t close = angle_close(text, i);
      const std::string_view inside = text.substr(i + 1, close - i - 1);
      if (holds_at(inside)) {
        at_in_piece = true;
        ++count.bracketed;
      }
      count.bracket_lists_several = count.bracket_lists_several || lists_several(inside);
      next = close + 1;
    } else if (c == '@') {
      at_in_piece = true;
    } else if (c == ',') {
      count.pieces += at_in_piece ? 1 : 0;
      at_in_piece = false;
    }
    i = next;
  }
  count.pieces += at_in_piece ? 1 : 0;
  return count;
}

// Whether the text between angle brackets lists more than one mailbox. A
// source route ("@relay.example,@hub.example:") names hops, not authors: it
// is left out before the commas are counted.
bool lists_several(std::string_view bracketed) noexcept {
  std::string_view mailbox = trim(bracketed);
  if (mailbox.starts_with('@')) {
    const std::size_t colon = find_outside(mailbox, ':');
    if (colon != std::string_view::npos) mailbox.remove_prefix(colon + 1);
  }
  return count_addresses(mailbox, false).pieces > 1;
}

// Whether the value names more than one address: two comma-separated pieces
// holding an "@", two angle-bracketed addresses, or a comma inside the angle
// brackets between two pieces holding an "@". A piece without "@" names no
// address: "Doe, Jane <jane@x.example>" and "jane@x.example <jane@x.example>"
// are one address each.
bool names_several_addresses(std::string_view text) noexcept {
  const AddressCount count = count_addresses(text, true);
  return count.pieces > 1 || count.bracketed > 1 || count.bracket_lists_several;
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
    out.text = remove_comments(value, out.allocator);
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
  out.text = {};
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
