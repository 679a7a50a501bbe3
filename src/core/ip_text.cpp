#include "core/ip_text.hpp"

namespace corvane {

namespace {

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

} // namespace

std::optional<Ipv4Bytes> parse_ipv4_text(std::string_view text) noexcept {
  Ipv4Bytes out{};
  std::size_t i = 0;
  for (std::size_t part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= text.size() || text[i] != '.') return std::nullopt;
      ++i;
    }
    const std::size_t start = i;
    unsigned value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    const std::size_t digits = i - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return std::nullopt;
    out[part] = static_cast<std::uint8_t>(value);
  }
  if (i != text.size()) return std::nullopt;
  return out;
}

std::optional<Ipv6Bytes> parse_ipv6_text(std::string_view text) noexcept {
  if (text.empty() || text.size() > k_max_ip_text) return std::nullopt;
  std::array<std::uint16_t, 8> groups{};
  std::size_t count = 0; // groups written
  std::size_t gap = 8;   // index in groups where "::" stands; 8 = none
  std::size_t i = 0;
  if (text.starts_with("::")) {
    gap = 0;
    i = 2;
  } else if (text.front() == ':') {
    return std::nullopt;
  }
  while (i < text.size()) {
    // A dotted tail takes the place of the last two groups.
    const std::size_t next_colon = text.find(':', i);
    const std::string_view rest =
        text.substr(i, next_colon == text.npos ? text.npos : next_colon - i);
    if (next_colon == text.npos && rest.find('.') != rest.npos) {
      const auto v4 = parse_ipv4_text(rest);
      if (!v4 || count + 2 > 8) return std::nullopt;
      groups[count++] = static_cast<std::uint16_t>((*v4)[0] << 8 | (*v4)[1]);
      groups[count++] = static_cast<std::uint16_t>((*v4)[2] << 8 | (*v4)[3]);
      i = text.size();
      break;
    }
    if (rest.empty() || rest.size() > 4 || count == 8) return std::nullopt;
    unsigned value = 0;
    for (char c : rest) {
      const int h = hex_value(c);
      if (h < 0) return std::nullopt;
      value = value << 4 | static_cast<unsigned>(h);
    }
    groups[count++] = static_cast<std::uint16_t>(value);
    i += rest.size();
    if (i == text.size()) break;
    ++i; // the ':'
    if (i < text.size() && text[i] == ':') {
      if (gap != 8) return std::nullopt;
      gap = count;
      ++i;
    } else if (i == text.size()) {
      return std::nullopt; // a single trailing ':'
    }
  }
  if (gap == 8 ? count != 8 : count > 7) return std::nullopt;
  Ipv6Bytes out{};
  const std::size_t zeros = 8 - count;
  std::size_t at = 0;
  for (std::size_t g = 0; g < count; ++g) {
    if (g == gap) at += zeros;
    out[2 * at] = static_cast<std::uint8_t>(groups[g] >> 8);
    out[2 * at + 1] = static_cast<std::uint8_t>(groups[g] & 0xFF);
    ++at;
  }
  return out;
}

} // namespace corvane
