#pragma once

#include <cstdint>

namespace corvane {

// Four bytes in network order: the milter protocol's lengths, header indexes
// and negotiation fields.
inline std::uint32_t read_u32_be(const char *bytes) noexcept {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i)
    value = value << 8 | static_cast<unsigned char>(bytes[i]);
  return value;
}

inline void write_u32_be(char *out, std::uint32_t value) noexcept {
  for (int i = 0; i < 4; ++i)
    out[i] = static_cast<char>((value >> (24 - 8 * i)) & 0xFF);
}

} // namespace corvane
