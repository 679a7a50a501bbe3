#include "events/json_escape.hpp"

namespace corvane::events {

namespace {

constexpr std::string_view k_replacement = "\\ufffd";

// Walks the text once and hands the escaped output to `sink` piece by piece,
// so that measuring and writing cannot disagree.
template <typename Sink> void for_each_escaped_piece(std::string_view text, Sink &&sink) {
  constexpr char hex[] = "0123456789abcdef";
  std::size_t at = 0;
  while (at < text.size()) {
    const auto byte = static_cast<unsigned char>(text[at]);
    switch (byte) {
    case '\b': sink("\\b"); break;
    case '\t': sink("\\t"); break;
    case '\n': sink("\\n"); break;
    case '\f': sink("\\f"); break;
    case '\r': sink("\\r"); break;
    case '"': sink("\\\""); break;
    case '\\': sink("\\\\"); break;
    default:
      if (byte < 0x20) {
        const char escaped[] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0x0F]};
        sink(std::string_view(escaped, sizeof(escaped)));
      } else if (const std::size_t length = utf8_sequence_length(text, at); length == 0) {
        sink(k_replacement);
      } else {
        sink(text.substr(at, length));
        at += length;
        continue;
      }
    }
    ++at;
  }
}

constexpr bool in_range(unsigned char byte, unsigned char low, unsigned char high) noexcept {
  return byte >= low && byte <= high;
}

} // namespace

std::size_t utf8_sequence_length(std::string_view text, std::size_t at) noexcept {
  const auto byte_at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte_at(at);
  if (lead < 0x80) return 1;
  // The lead byte fixes the length and the range of the second byte; the
  // narrowed ranges are what exclude overlong forms (E0, F0), surrogates (ED)
  // and code points above U+10FFFF (F4).
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (in_range(lead, 0xC2, 0xDF)) {
    length = 2;
  } else if (lead == 0xE0) {
    length = 3;
    low = 0xA0;
  } else if (lead == 0xED) {
    length = 3;
    high = 0x9F;
  } else if (in_range(lead, 0xE1, 0xEF)) {
    length = 3;
  } else if (lead == 0xF0) {
    length = 4;
    low = 0x90;
  } else if (lead == 0xF4) {
    length = 4;
    high = 0x8F;
  } else if (in_range(lead, 0xF1, 0xF3)) {
    length = 4;
  } else {
    return 0; // a continuation byte, C0, C1 or F5..FF
  }
  if (text.size() - at < length) return 0;
  if (!in_range(byte_at(at + 1), low, high)) return 0;
  for (std::size_t k = 2; k < length; ++k)
    if (!in_range(byte_at(at + k), 0x80, 0xBF)) return 0;
  return length;
}

std::size_t escaped_json_length(std::string_view text) noexcept {
  std::size_t length = 0;
  for_each_escaped_piece(text, [&](std::string_view piece) { length += piece.size(); });
  return length;
}

void escape_json(std::string_view text, std::pmr::string &out) {
  for_each_escaped_piece(text, [&](std::string_view piece) { out.append(piece); });
}

} // namespace corvane::events
