#include "milter/packet.hpp"

#include "core/big_endian.hpp"

#include <new>

namespace corvane::milter {

namespace {

// An input buffer that grew for a large packet is given back once it is
// empty again, so an idle connection holds little memory.
constexpr std::size_t k_kept_input_capacity = 16 * 1024;

} // namespace

PacketView parse_packet(MilterSession &session) noexcept {
  const std::size_t buffered = session.input.size() - session.input_start;
  const char *head = session.input.data() + session.input_start;
  if (!session.pending_length) {
    if (buffered < 4) return {};
    session.pending_length = read_u32_be(head);
  }
  const std::uint32_t length = *session.pending_length;
  if (length == 0 || length > k_max_packet_bytes) return {PacketStatus::too_large, 0, {}};
  if (buffered < std::size_t{length} + 4) return {};
  return {PacketStatus::ready, head[4], std::string_view(head + 5, length - 1)};
}

void consume_packet(MilterSession &session) noexcept {
  if (!session.pending_length) return;
  session.input_start += std::size_t{*session.pending_length} + 4;
  session.pending_length.reset();
  if (session.input_start < session.input.size()) return;
  session.input.clear();
  session.input_start = 0;
  if (session.input.capacity() > k_kept_input_capacity)
    std::pmr::vector<char>(session.input.get_allocator()).swap(session.input);
}

bool append_input(MilterSession &session, std::span<const char> bytes) noexcept {
  try {
    if (session.input_start > 0) {
      session.input.erase(session.input.begin(),
                          session.input.begin() + static_cast<std::ptrdiff_t>(session.input_start));
      session.input_start = 0;
    }
    session.input.insert(session.input.end(), bytes.begin(), bytes.end());
    return true;
  } catch (const std::bad_alloc &) {
    return false;
  }
}

} // namespace corvane::milter
