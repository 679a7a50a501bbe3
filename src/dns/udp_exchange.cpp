#include "dns/udp_exchange.hpp"

#include "core/clock.hpp"
#include "core/unique_fd.hpp"
#include "dns/readable_before.hpp"
#include "dns/reply_match.hpp"
#include "dns/response.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace corvane::dns {

namespace {

enum class Received { reply, other, failed };

// One datagram. A reply cut by the buffer is marked truncated, so that it is
// fetched again over TCP like any reply the server truncated itself.
Received receive_one(int fd, std::span<const std::byte> query, UdpBuffer &reply,
                     std::size_t &length) noexcept {
  iovec part{reply.data(), reply.size()};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  const ssize_t got = ::recvmsg(fd, &message, MSG_DONTWAIT);
  if (got < 0) return errno == EAGAIN || errno == EINTR ? Received::other : Received::failed;
  // Too short to be any reply: like a reply to another question, it is
  // dropped, so a forged scrap cannot end the attempt early.
  if (static_cast<std::size_t>(got) < k_header_size) return Received::other;
  length = std::min(static_cast<std::size_t>(got), reply.size());
  if (!answers_query(query, std::span<const std::byte>(reply.data(), length)))
    return Received::other;
  if ((message.msg_flags & MSG_TRUNC) != 0) reply[2] |= std::byte{k_flag_tc >> 8};
  return Received::reply;
}

// Waits until `until_ms` for the reply, dropping datagrams that are not it.
bool await_reply(int fd, std::span<const std::byte> query, std::int64_t until_ms, UdpBuffer &reply,
                 std::size_t &length) noexcept {
  for (;;) {
    const auto readable = readable_before(fd, until_ms);
    if (!readable || !*readable) return false;
    switch (receive_one(fd, query, reply, length)) {
    case Received::reply: return true;
    case Received::failed: return false;
    case Received::other: break;
    }
  }
}

} // namespace

Result<std::size_t> udp_exchange(const SocketAddress &server, std::span<const std::byte> query,
                                 std::uint32_t timeout_ms, std::uint8_t retries,
                                 std::int64_t deadline_ms, UdpBuffer &reply) {
  UniqueFd socket(::socket(server.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket) return error_from_errno(errno);
  // A connected socket takes datagrams from the nameserver's address only, so
  // nothing sent from elsewhere can pass for the reply. A connect that fails
  // here would fail every send as well: the server simply gives no reply.
  if (::connect(socket.get(), server.get(), server.length) != 0) return std::size_t{0};
  for (unsigned attempt = 0; attempt <= retries; ++attempt) {
    if (deadline_passed(deadline_ms)) break; // no attempt starts after the deadline
    const std::int64_t until = std::min(realtime_ms() + std::int64_t{timeout_ms}, deadline_ms);
    if (::send(socket.get(), query.data(), query.size(), MSG_NOSIGNAL) < 0) continue;
    std::size_t length = 0;
    if (await_reply(socket.get(), query, until, reply, length)) return length;
  }
  return std::size_t{0};
}

} // namespace corvane::dns
