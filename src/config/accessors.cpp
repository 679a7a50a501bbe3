#include "config/accessors.hpp"

#include "core/ascii.hpp"
#include "core/number.hpp"

#include <array>
#include <limits>

namespace corvane::config {

namespace {

template <typename T, typename Reader>
T get_value(const ConfigSection &section, std::string_view key, T fallback,
            Reader reader) noexcept {
  const auto value = section.find(key);
  if (!value) return fallback;
  return reader(*value).value_or(fallback);
}

std::optional<bool> read_bool(std::string_view text) noexcept {
  if (ascii_iequal(text, "yes") || ascii_iequal(text, "true") || text == "1") return true;
  if (ascii_iequal(text, "no") || ascii_iequal(text, "false") || text == "0") return false;
  return std::nullopt;
}

std::uint64_t size_multiplier(char suffix) noexcept {
  switch (suffix) {
  case 'K':
  case 'k': return std::uint64_t{1} << 10;
  case 'M':
  case 'm': return std::uint64_t{1} << 20;
  case 'G':
  case 'g': return std::uint64_t{1} << 30;
  default: return 1;
  }
}

std::optional<std::uint64_t> read_size(std::string_view text) noexcept {
  text = trim(text, TrimSet::SpTab);
  // The length checks keep a lone "b" or "M" from turning into the empty text.
  if (text.size() > 1 && (text.back() == 'b' || text.back() == 'B')) text.remove_suffix(1);
  std::uint64_t multiplier = 1;
  if (text.size() > 1) {
    multiplier = size_multiplier(text.back());
    if (multiplier != 1) text.remove_suffix(1);
  }
  const auto count = read_u64(trim(text, TrimSet::SpTab));
  if (!count || *count > std::numeric_limits<std::uint64_t>::max() / multiplier)
    return std::nullopt;
  return *count * multiplier;
}

struct NamedCode {
  std::string_view word;
  std::uint8_t code;
};

constexpr std::array<NamedCode, 11> k_facilities{{
    {"mail", 2},
    {"daemon", 3},
    {"auth", 4},
    {"local0", 16},
    {"local1", 17},
    {"local2", 18},
    {"local3", 19},
    {"local4", 20},
    {"local5", 21},
    {"local6", 22},
    {"local7", 23},
}};

// "info" is not listed: it is what any unknown word means anyway.
constexpr std::array<NamedCode, 5> k_levels{{
    {"err", 3},
    {"error", 3},
    {"warn", 4},
    {"warning", 4},
    {"debug", 7},
}};

template <std::size_t N>
std::uint8_t get_word(const ConfigSection &section, std::string_view key,
                      const std::array<NamedCode, N> &words, std::uint8_t fallback) noexcept {
  const auto value = section.find(key);
  if (!value) return fallback;
  for (const auto &named : words)
    if (ascii_iequal(*value, named.word)) return named.code;
  return fallback;
}

} // namespace

std::optional<std::string_view> get_string(const ConfigSection &section,
                                           std::string_view key) noexcept {
  return section.find(key);
}

bool get_bool(const ConfigSection &section, std::string_view key, bool fallback) noexcept {
  return get_value(section, key, fallback, read_bool);
}

std::uint8_t get_u8(const ConfigSection &section, std::string_view key,
                    std::uint8_t fallback) noexcept {
  return get_value(section, key, fallback, read_u8);
}

std::uint32_t get_u32(const ConfigSection &section, std::string_view key,
                      std::uint32_t fallback) noexcept {
  return get_value(section, key, fallback, read_u32);
}

std::uint64_t get_count(const ConfigSection &section, std::string_view key,
                        std::uint64_t fallback) noexcept {
  return get_value(section, key, fallback, read_u64);
}

std::int64_t get_i64(const ConfigSection &section, std::string_view key,
                     std::int64_t fallback) noexcept {
  return get_value(section, key, fallback, read_i64);
}

std::uint64_t get_size(const ConfigSection &section, std::string_view key,
                       std::uint64_t fallback) noexcept {
  return get_value(section, key, fallback, read_size);
}

std::uint8_t get_facility(const ConfigSection &section, std::string_view key,
                          std::uint8_t fallback) noexcept {
  return get_word(section, key, k_facilities, fallback);
}

std::uint8_t get_level(const ConfigSection &section, std::string_view key,
                       std::uint8_t fallback) noexcept {
  return get_word(section, key, k_levels, fallback);
}

} // namespace corvane::config
