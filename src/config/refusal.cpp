#include "config/refusal.hpp"

#include <algorithm>
#include <array>

namespace corvane::config {

void write_stderr_copy(std::initializer_list<std::string_view> pieces) noexcept {
  std::array<char, log::k_line_size + 1> buffer;
  std::size_t length = 0;
  for (std::string_view piece : pieces) {
    const std::size_t count = std::min(piece.size(), log::k_line_size - length);
    std::copy_n(piece.data(), count, buffer.data() + length);
    length += count;
  }
  // A control byte would let a value end the line early or drive the terminal.
  for (std::size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(buffer[i]);
    if (byte < 0x20 || byte == 0x7F) buffer[i] = '_';
  }
  buffer[length++] = '\n';
  log::write_stderr({buffer.data(), length});
}

} // namespace corvane::config
