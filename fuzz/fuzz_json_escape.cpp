// Any header value: the escaped text must be valid JSON string content that
// decodes to the value with each byte outside a valid UTF-8 sequence turned
// into U+FFFD. The reference decoder below reads code points the classic way
// (lead-byte bits, then minimum value, surrogate and maximum checks), not by
// the byte ranges the escaper uses, so the two must agree independently.
#include "events/json_escape.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void append_utf8(std::string &out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The length of the well-formed sequence at text[at], or 0.
std::size_t reference_length(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length;
  std::uint32_t cp;
  std::uint32_t minimum;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1Fu, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0Fu, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07u, minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (next & 0x3Fu);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  std::abort(); // the escaper writes lower-case hexadecimal only
}

// Decodes JSON string content; aborts on anything a strict parser refuses.
std::string decode(std::string_view json) {
  std::string out;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (static_cast<unsigned char>(c) < 0x20 || c == '"') std::abort();
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == json.size()) std::abort();
    switch (json[i]) {
    case '"': out += '"'; break;
    case '\\': out += '\\'; break;
    case 'b': out += '\b'; break;
    case 't': out += '\t'; break;
    case 'n': out += '\n'; break;
    case 'f': out += '\f'; break;
    case 'r': out += '\r'; break;
    case 'u': {
      if (json.size() - i < 5) std::abort();
      std::uint32_t cp = 0;
      for (std::size_t k = 1; k <= 4; ++k)
        cp = (cp << 4) | static_cast<std::uint32_t>(hex_value(json[i + k]));
      if (cp >= 0xD800 && cp <= 0xDFFF) std::abort(); // a lone surrogate
      append_utf8(out, cp);
      i += 4;
      break;
    }
    default: std::abort();
    }
  }
  return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  std::pmr::string escaped;
  corvane::events::escape_json(text, escaped);
  if (escaped.size() != corvane::events::escaped_json_length(text)) std::abort();

  std::string expected;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = reference_length(text, at);
    if (length != corvane::events::utf8_sequence_length(text, at)) std::abort();
    if (length == 0) {
      append_utf8(expected, 0xFFFD);
      ++at;
    } else {
      expected.append(text.substr(at, length));
      at += length;
    }
  }
  // Raw bytes pass into the decoded text unchanged, so any invalid UTF-8
  // left in the output would make the two differ.
  if (decode(escaped) != expected) std::abort();
  return 0;
}
