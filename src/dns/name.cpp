#include "dns/name.hpp"

#include "dns/wire.hpp"

namespace corvane::dns {

namespace {

constexpr std::size_t k_max_pointer_jumps = 10;
constexpr std::uint8_t k_pointer_mark = 0xC0;
constexpr std::uint8_t k_reserved_label = 0x40;

} // namespace

Result<void> read_name(std::span<const std::byte> packet, std::size_t start, NameText &out) {
  std::size_t position = start;
  std::size_t jumps = 0;
  std::size_t labels = 0;
  while (position < packet.size()) {
    const std::uint8_t length = wire_u8(packet, position);
    if (length == 0) return {};
    if (length >= k_pointer_mark) {
      if (position + 1 >= packet.size()) return Error::PacketTooShort;
      const std::size_t target =
          static_cast<std::size_t>(length & 0x3F) << 8 | wire_u8(packet, position + 1);
      if (target >= packet.size()) return Error::InvalidPointer;
      // Pointers may point forwards; loops end at the jump limit.
      if (jumps == k_max_pointer_jumps) return Error::TooManyPointers;
      ++jumps;
      position = target;
      continue;
    }
    if (length >= k_reserved_label) return Error::LabelTooLong;
    if (++labels > k_max_labels) return Error::TooManyLabels;
    if (position + 1 + length > packet.size()) return Error::PacketTooShort;
    const std::size_t separator = out.size() == 0 ? 0 : 1;
    if (out.size() + separator + length > k_max_name_bytes) return Error::NameTooLong;
    if (separator != 0) out.append('.');
    for (std::size_t i = 0; i < length; ++i)
      out.append(static_cast<char>(packet[position + 1 + i]));
    position += 1 + length;
  }
  return {};
}

Result<std::size_t> skip_name(std::span<const std::byte> packet, std::size_t start) {
  std::size_t position = start;
  std::size_t labels = 0;
  for (;;) {
    if (position >= packet.size()) return Error::PacketTooShort;
    const std::uint8_t length = wire_u8(packet, position);
    if (length == 0) return position + 1;
    if (length >= k_pointer_mark) {
      if (position + 1 >= packet.size()) return Error::PacketTooShort;
      return position + 2;
    }
    if (length >= k_reserved_label) return Error::LabelTooLong;
    if (++labels > k_max_labels) return Error::TooManyLabels;
    position += 1 + length;
    if (position > packet.size()) return Error::PacketTooShort;
  }
}

} // namespace corvane::dns
