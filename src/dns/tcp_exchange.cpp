#include "dns/tcp_exchange.hpp"

#include "core/clock.hpp"
#include "dns/response.hpp"
#include "dns/socket_timeout.hpp"
#include "platform/bounded_connect.hpp"
#include "platform/unique_fd.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace corvane::dns {

namespace {

Result<void> send_all(int fd, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return error_from_errno(errno);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(sent));
  }
  return {};
}

// Each receive is bounded by the socket's timeout; the deadline also bounds
// the whole read, so a peer that trickles bytes cannot hold the lookup for
// one timeout per byte.
Result<void> receive_all(int fd, std::span<std::byte> bytes, std::int64_t deadline_ms) {
  while (!bytes.empty()) {
    if (realtime_ms() >= deadline_ms) return Error::ConnectionTimedOut;
    const ssize_t got = ::recv(fd, bytes.data(), bytes.size(), 0);
    if (got == 0) return Error::UnexpectedEof;
    if (got < 0) {
      if (errno == EINTR) continue;
      return error_from_errno(errno == EAGAIN ? ETIMEDOUT : errno);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(got));
  }
  return {};
}

std::uint32_t connect_bound_s(std::uint32_t timeout_ms) {
  return std::max<std::uint32_t>(1, timeout_ms / 1000 + (timeout_ms % 1000 != 0 ? 1 : 0));
}

} // namespace

Result<PacketBytes> tcp_exchange(const ServerAddress &server, std::span<const std::byte> query,
                                 std::uint32_t timeout_ms, std::pmr::memory_resource *allocator) {
  platform::UniqueFd socket(::socket(server.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) return error_from_errno(errno);
  if (auto bounded = set_socket_timeouts(socket.get(), timeout_ms, true); !bounded)
    return bounded.error();
  if (auto connected = platform::bounded_connect(socket.get(), server.get(), server.length,
                                                 connect_bound_s(timeout_ms));
      !connected)
    return connected.error();

  const std::array<std::byte, 2> length_prefix{static_cast<std::byte>(query.size() >> 8),
                                               static_cast<std::byte>(query.size() & 0xFF)};
  if (auto sent = send_all(socket.get(), length_prefix); !sent) return sent.error();
  if (auto sent = send_all(socket.get(), query); !sent) return sent.error();

  const std::int64_t deadline = realtime_ms() + timeout_ms;
  std::array<std::byte, 2> reply_prefix{};
  if (auto got = receive_all(socket.get(), reply_prefix, deadline); !got) return got.error();
  const std::size_t length =
      static_cast<std::size_t>(reply_prefix[0]) << 8 | static_cast<std::size_t>(reply_prefix[1]);
  if (length < k_header_size) return Error::PacketTooShort;
  return catch_out_of_memory([&]() -> Result<PacketBytes> {
    PacketBytes reply(length, allocator);
    if (auto got = receive_all(socket.get(), reply, deadline); !got) return got.error();
    return reply;
  });
}

} // namespace corvane::dns
