#include "core/wyhash.hpp"

#include <array>

namespace corvane {

namespace {

__extension__ typedef unsigned __int128 Uint128;

constexpr std::array<std::uint64_t, 4> k_secret = {0xa0761d6478bd642full, 0xe7037ed1a0b428dbull,
                                                   0x8ebc6af09c88c6e3ull, 0x589965cc75374cc3ull};

// The plain multiply: the low half of the product replaces a, the high half b.
void multiply(std::uint64_t &a, std::uint64_t &b) noexcept {
  const Uint128 product = static_cast<Uint128>(a) * b;
  a = static_cast<std::uint64_t>(product);
  b = static_cast<std::uint64_t>(product >> 64);
}

std::uint64_t mix(std::uint64_t a, std::uint64_t b) noexcept {
  multiply(a, b);
  return a ^ b;
}

// Little-endian reads, whatever the host's byte order.
std::uint64_t read_le(const unsigned char *p, std::size_t count) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i)
    value |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return value;
}
std::uint64_t read8(const unsigned char *p) noexcept { return read_le(p, 8); }
std::uint64_t read4(const unsigned char *p) noexcept { return read_le(p, 4); }

// One to three bytes: the first, the middle and the last.
std::uint64_t read3(const unsigned char *p, std::size_t k) noexcept {
  return (static_cast<std::uint64_t>(p[0]) << 16) | (static_cast<std::uint64_t>(p[k >> 1]) << 8) |
         p[k - 1];
}

} // namespace

std::uint64_t wyhash(std::string_view bytes, std::uint64_t seed) noexcept {
  const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
  const std::size_t length = bytes.size();
  seed ^= mix(seed ^ k_secret[0], k_secret[1]);
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  if (length <= 16) {
    if (length >= 4) {
      const std::size_t shift = (length >> 3) << 2;
      a = (read4(p) << 32) | read4(p + shift);
      b = (read4(p + length - 4) << 32) | read4(p + length - 4 - shift);
    } else if (length > 0) {
      a = read3(p, length);
    }
  } else {
    std::size_t remaining = length;
    // This version keeps the last 48 bytes for the 16-byte loop: it runs the
    // three lanes only while more than 48 bytes remain.
    if (remaining > 48) {
      std::uint64_t lane1 = seed;
      std::uint64_t lane2 = seed;
      do {
        seed = mix(read8(p) ^ k_secret[1], read8(p + 8) ^ seed);
        lane1 = mix(read8(p + 16) ^ k_secret[2], read8(p + 24) ^ lane1);
        lane2 = mix(read8(p + 32) ^ k_secret[3], read8(p + 40) ^ lane2);
        p += 48;
        remaining -= 48;
      } while (remaining > 48);
      seed ^= lane1 ^ lane2;
    }
    while (remaining > 16) {
      seed = mix(read8(p) ^ k_secret[1], read8(p + 8) ^ seed);
      remaining -= 16;
      p += 16;
    }
    // The last 16 bytes of the input, overlapping what was already mixed.
    a = read8(p + remaining - 16);
    b = read8(p + remaining - 8);
  }
  a ^= k_secret[1];
  b ^= seed;
  multiply(a, b);
  return mix(a ^ k_secret[0] ^ length, b ^ k_secret[1]);
}

} // namespace corvane
