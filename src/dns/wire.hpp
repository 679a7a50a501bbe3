#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace corvane::dns {

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
