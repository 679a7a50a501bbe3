#include "dns/tcp_exchange.hpp"

#include "core/clock.hpp"
#include "core/unique_fd.hpp"
#include "dns/readable_before.hpp"
#include "dns/response.hpp"
#include "dns/socket_timeout.hpp"
#include "platform/bounded_connect.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace corvane::dns {

namespace {

Result<void> send_all(int fd, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return error_from_errno(errno == EAGAIN ? ETIMEDOUT : errno);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(sent));
  }
  return {};
}

// Every wait ends by `until_ms`, so a peer that trickles bytes cannot hold the
// lookup for one timeout per byte.
Result<void> receive_all(int fd, std::span<std::byte> bytes, std::int64_t until_ms) {
  while (!bytes.empty()) {
    const auto readable = readable_before(fd, until_ms);
    if (!readable) return readable.error();
    if (!*readable) return Error::ConnectionTimedOut;
    const ssize_t got = ::recv(fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
    if (got == 0) return Error::UnexpectedEof;
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return error_from_errno(errno);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(got));
  }
  return {};
}

std::int64_t connect_bound_ms(std::uint32_t timeout_ms) {
  const std::int64_t seconds = std::max<std::int64_t>(1, (std::int64_t{timeout_ms} + 999) / 1000);
  return seconds * 1000;
}

std::uint32_t bounded_by(std::int64_t wait_ms, std::int64_t left_ms) {
  return static_cast<std::uint32_t>(
      std::clamp<std::int64_t>(std::min(wait_ms, left_ms), 1, std::int64_t{UINT32_MAX}));
}

} // namespace

Result<PacketBytes> tcp_exchange(const SocketAddress &server, std::span<const std::byte> query,
                                 std::uint32_t timeout_ms, std::int64_t deadline_ms,
                                 std::pmr::memory_resource *allocator) {
  const std::int64_t started = realtime_ms();
  const std::int64_t left = deadline_ms == k_no_deadline ? INT64_MAX : deadline_ms - started;
  if (left <= 0) return Error::DnsTimeout;
  UniqueFd socket(::socket(server.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) return error_from_errno(errno);
  // The send timeout bounds the two small writes; the reads wait in poll.
  if (auto bounded = set_socket_timeouts(socket.get(), bounded_by(timeout_ms, left), true);
      !bounded)
    return bounded.error();
  if (auto connected = platform::bounded_connect(socket.get(), server.get(), server.length,
                                                 bounded_by(connect_bound_ms(timeout_ms), left));
      !connected)
    return connected.error();

  const std::array<std::byte, 2> length_prefix{static_cast<std::byte>(query.size() >> 8),
                                               static_cast<std::byte>(query.size() & 0xFF)};
  if (auto sent = send_all(socket.get(), length_prefix); !sent) return sent.error();
  if (auto sent = send_all(socket.get(), query); !sent) return sent.error();

  const std::int64_t until = std::min(realtime_ms() + std::int64_t{timeout_ms}, deadline_ms);
  std::array<std::byte, 2> reply_prefix{};
  if (auto got = receive_all(socket.get(), reply_prefix, until); !got) return got.error();
  const std::size_t length = wire_u16(reply_prefix, 0);
  if (length < k_header_size) return Error::PacketTooShort;
  return catch_out_of_memory([&]() -> Result<PacketBytes> {
    PacketBytes reply(length, allocator);
    if (auto got = receive_all(socket.get(), reply, until); !got) return got.error();
    return reply;
  });
}

} // namespace corvane::dns
