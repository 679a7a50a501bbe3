#include "dns/udp_exchange.hpp"

#include "dns/response.hpp"
#include "dns/socket_timeout.hpp"
#include "platform/unique_fd.hpp"

#include <sys/socket.h>

#include <cerrno>

namespace corvane::dns {

Result<std::size_t> udp_exchange(const ServerAddress &server, std::span<const std::byte> query,
                                 std::uint32_t timeout_ms, std::uint8_t retries, UdpBuffer &reply) {
  platform::UniqueFd socket(::socket(server.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket) return error_from_errno(errno);
  if (auto bounded = set_socket_timeouts(socket.get(), timeout_ms, false); !bounded)
    return bounded.error();
  // A connected socket takes datagrams from the nameserver's address only, so
  // nothing sent from elsewhere can pass for the reply. A connect that fails
  // here would fail every send as well: the server simply gives no reply.
  if (::connect(socket.get(), server.get(), server.length) != 0) return std::size_t{0};
  for (unsigned attempt = 0; attempt <= retries; ++attempt) {
    if (::send(socket.get(), query.data(), query.size(), MSG_NOSIGNAL) < 0) continue;
    const ssize_t received = ::recv(socket.get(), reply.data(), reply.size(), 0);
    if (received >= static_cast<ssize_t>(k_header_size)) return static_cast<std::size_t>(received);
  }
  return std::size_t{0};
}

} // namespace corvane::dns
