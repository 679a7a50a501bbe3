#include "config/refusal.hpp"

#include <array>

namespace corvane::config {

void write_stderr_copy(std::initializer_list<std::string_view> pieces) noexcept {
  // The copy is the whole text, however long a key or value made it; it goes
  // out in buffer-sized writes, all under the lock the caller holds or that
  // write_stderr takes.
  std::lock_guard guard(log::stderr_lock());
  std::array<char, log::k_line_size> buffer;
  std::size_t length = 0;
  const auto put = [&](char c) {
    // A control byte would let a value end the line early or drive the terminal.
    const auto byte = static_cast<unsigned char>(c);
    buffer[length++] = (byte < 0x20 || byte == 0x7F) ? '_' : c;
    if (length == buffer.size()) {
      log::write_stderr({buffer.data(), length});
      length = 0;
    }
  };
  for (std::string_view piece : pieces)
    for (const char c : piece)
      put(c);
  buffer[length++] = '\n';
  log::write_stderr({buffer.data(), length});
}

} // namespace corvane::config
