#pragma once

#include "core/result.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace corvane::dns {

inline constexpr std::size_t k_max_name_bytes = 253;

// A decoded name in dotted form, held on the stack so that decoding costs no
// allocation; the 253-byte bound makes it fit.
class NameText {
public:
  std::string_view view() const noexcept { return {bytes_.data(), length_}; }
  std::size_t size() const noexcept { return length_; }
  void append(char c) noexcept { bytes_[length_++] = c; }

private:
  std::array<char, k_max_name_bytes + 1> bytes_{};
  std::size_t length_ = 0;
};

// Decodes the name at `start`, following compression pointers (at most 10
// jumps). The name ends at a zero byte or at the end of the packet. Errors:
// PacketTooShort, InvalidPointer, TooManyPointers, LabelTooLong (also for the
// reserved label types), TooManyLabels, NameTooLong.
Result<void> read_name(std::span<const std::byte> packet, std::size_t start, NameText &out);

// The offset just after the name at `start`, without following pointers.
// Errors: PacketTooShort, LabelTooLong, TooManyLabels.
Result<std::size_t> skip_name(std::span<const std::byte> packet, std::size_t start);

} // namespace corvane::dns
