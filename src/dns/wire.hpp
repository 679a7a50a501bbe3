#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace corvane::dns {

inline constexpr std::size_t k_header_size = 12;
// Flags of the header's 16-bit word at offset 2.
inline constexpr std::uint16_t k_flag_qr = 0x8000;
inline constexpr std::uint16_t k_flag_tc = 0x0200;
inline constexpr std::uint16_t k_rcode_bits = 0x000F;
inline constexpr std::uint16_t k_type_cname = 5;

// Big-endian reads of a packet; the caller has checked the bounds.
inline std::uint8_t wire_u8(std::span<const std::byte> packet, std::size_t at) noexcept {
  return static_cast<std::uint8_t>(packet[at]);
}
inline std::uint16_t wire_u16(std::span<const std::byte> packet, std::size_t at) noexcept {
  return static_cast<std::uint16_t>(wire_u8(packet, at) << 8 | wire_u8(packet, at + 1));
}
inline std::uint32_t wire_u32(std::span<const std::byte> packet, std::size_t at) noexcept {
  return static_cast<std::uint32_t>(wire_u16(packet, at)) << 16 | wire_u16(packet, at + 2);
}

} // namespace corvane::dns
