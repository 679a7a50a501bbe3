#pragma once

#include "core/result.hpp"

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <string_view>
#include <vector>

namespace corvane::milter {

// One packet's length field counts the reply code and payload; more than this
// is PacketTooLarge in either direction.
inline constexpr std::size_t k_max_packet_bytes = 1'048'576;
// An MTA that leaves more than this unread (length prefixes included) is
// dropped rather than let it make the daemon hold its replies without bound.
inline constexpr std::size_t k_max_unwritten_bytes = 262'144;
// A buffer that grew past this while the MTA was not reading is given back
// once it is fully written, so idle connections hold little memory.
inline constexpr std::size_t k_kept_output_capacity = 8192;

// Replies framed and waiting to be written to one MTA connection. Writes
// never block: what the socket does not take stays queued until it becomes
// writable again.
class OutputQueue {
public:
  enum class Flush : std::uint8_t { done, would_block, failed };
  struct FlushResult {
    Flush outcome = Flush::done;
    Error error = Error::Unexpected; // when failed
  };

  explicit OutputQueue(std::pmr::memory_resource *allocator) : buffer_(allocator) {}

  // Appends one packet: the 4-byte big-endian length of `bytes`, then the
  // bytes (reply code first). Writes nothing. Errors: PacketTooLarge,
  // OutputQueueFull, OutOfMemory; on error nothing is queued.
  Result<void> queue_reply(std::string_view bytes) noexcept;

  // Writes what is unwritten, one write call per attempt, until everything is
  // written (done), the socket would block, or a write fails (a write of zero
  // bytes is BrokenPipe).
  FlushResult write_to(int socket) noexcept;

  std::size_t unwritten() const noexcept { return buffer_.size() - written_; }
  std::size_t capacity() const noexcept { return buffer_.capacity(); }

private:
  std::pmr::vector<char> buffer_;
  std::size_t written_ = 0;
};

} // namespace corvane::milter
