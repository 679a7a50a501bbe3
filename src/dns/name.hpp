#pragma once

#include "core/result.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace corvane::dns {

// The limits of a domain name: 253 bytes of dotted text, labels of 1 to 63
// bytes, at most 127 labels.
inline constexpr std::size_t k_max_name_bytes = 253;
inline constexpr std::size_t k_max_label_bytes = 63;
inline constexpr std::size_t k_max_labels = 127;

// A name as it goes into a query: one leading and one trailing dot dropped,
// so that 'example.org.' and '.example.org' ask for 'example.org'.
constexpr std::string_view without_outer_dots(std::string_view name) noexcept {
  if (name.starts_with('.')) name.remove_prefix(1);
  if (name.ends_with('.')) name.remove_suffix(1);
  return name;
}

// A decoded name in dotted form, held on the stack so that decoding costs no
// allocation; the 253-byte bound makes it fit.
class NameText {
public:
  std::string_view view() const noexcept { return {bytes_.data(), length_}; }
  std::size_t size() const noexcept { return length_; }
  void append(char c) noexcept { bytes_[length_++] = c; }
  // False, and nothing kept, for a text longer than a name can be.
  bool assign(std::string_view text) noexcept {
    if (text.size() > k_max_name_bytes) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
      bytes_[i] = text[i];
    length_ = text.size();
    return true;
  }

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
