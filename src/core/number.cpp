#include "core/number.hpp"

#include <limits>

namespace corvane {

namespace {

struct Magnitude {
  bool negative = false;
  std::uint64_t value = 0;
};

// Reads sign and digits up to `limit`, the largest magnitude the caller can
// take. `allow_negative` admits any "-"; otherwise "-" reads only zeros.
std::optional<Magnitude> read_magnitude(std::string_view text, unsigned base, std::uint64_t limit,
                                        bool allow_negative) noexcept {
  Magnitude out;
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    out.negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  bool previous_was_digit = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '_') {
      if (!previous_was_digit || i + 1 == text.size()) return std::nullopt;
      previous_was_digit = false;
      continue;
    }
    if (c < '0' || c >= static_cast<char>('0' + base)) return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (out.value > (limit - digit) / base) return std::nullopt;
    out.value = out.value * base + digit;
    previous_was_digit = true;
  }
  if (out.negative && !allow_negative && out.value != 0) return std::nullopt;
  return out;
}

template <typename T>
std::optional<T> read_unsigned(std::string_view text, unsigned base) noexcept {
  const auto m = read_magnitude(text, base, std::numeric_limits<T>::max(), false);
  if (!m) return std::nullopt;
  return static_cast<T>(m->value);
}

template <typename T> std::optional<T> read_signed(std::string_view text) noexcept {
  // One more in magnitude for the negative side's extra value.
  constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<T>::max());
  const auto m = read_magnitude(text, 10, max + 1, true);
  if (!m) return std::nullopt;
  if (!m->negative) {
    if (m->value > max) return std::nullopt;
    return static_cast<T>(m->value);
  }
  if (m->value == max + 1) return std::numeric_limits<T>::min();
  return static_cast<T>(-static_cast<T>(m->value));
}

} // namespace

std::optional<std::uint8_t> read_u8(std::string_view text) noexcept {
  return read_unsigned<std::uint8_t>(text, 10);
}
std::optional<std::uint16_t> read_u16(std::string_view text) noexcept {
  return read_unsigned<std::uint16_t>(text, 10);
}
std::optional<std::uint32_t> read_u32(std::string_view text) noexcept {
  return read_unsigned<std::uint32_t>(text, 10);
}
std::optional<std::uint64_t> read_u64(std::string_view text) noexcept {
  return read_unsigned<std::uint64_t>(text, 10);
}
std::optional<std::int32_t> read_i32(std::string_view text) noexcept {
  return read_signed<std::int32_t>(text);
}
std::optional<std::int64_t> read_i64(std::string_view text) noexcept {
  return read_signed<std::int64_t>(text);
}
std::optional<std::uint16_t> read_octal_u16(std::string_view text) noexcept {
  return read_unsigned<std::uint16_t>(text, 8);
}

} // namespace corvane
