#include "milter/output_queue.hpp"

#include "core/big_endian.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace corvane::milter {

Result<void> OutputQueue::queue_reply(std::string_view bytes) noexcept {
  if (bytes.size() > k_max_packet_bytes) return Error::PacketTooLarge;
  if (unwritten() + bytes.size() + 4 > k_max_unwritten_bytes) return Error::OutputQueueFull;
  // Compact only when something new arrives: flushing stays one write call.
  if (written_ > 0) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(written_));
    written_ = 0;
  }
  // Room grows geometrically: while the MTA is not reading, replies pile up,
  // and growing by exactly one reply each time would copy the whole queue
  // for every reply.
  const std::size_t needed = buffer_.size() + bytes.size() + 4;
  try {
    if (needed > buffer_.capacity())
      buffer_.reserve(std::max(needed, std::min(2 * buffer_.capacity(), k_max_unwritten_bytes)));
  } catch (const std::bad_alloc &) {
    return Error::OutOfMemory;
  }
  char prefix[4];
  write_u32_be(prefix, static_cast<std::uint32_t>(bytes.size()));
  buffer_.insert(buffer_.end(), prefix, prefix + 4);
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return {};
}

OutputQueue::FlushResult OutputQueue::write_to(int socket) noexcept {
  for (;;) {
    if (written_ >= buffer_.size()) {
      buffer_.clear();
      written_ = 0;
      if (buffer_.capacity() > k_kept_output_capacity)
        std::pmr::vector<char>(buffer_.get_allocator()).swap(buffer_);
      return {};
    }
    const ssize_t count =
        ::send(socket, buffer_.data() + written_, buffer_.size() - written_, MSG_NOSIGNAL);
    if (count > 0) {
      written_ += static_cast<std::size_t>(count);
      continue;
    }
    if (count == 0) return {Flush::failed, Error::BrokenPipe};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {Flush::would_block, Error::WouldBlock};
    return {Flush::failed, error_from_errno(errno)};
  }
}

} // namespace corvane::milter
