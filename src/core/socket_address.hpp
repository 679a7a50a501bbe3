#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane {

// A socket address built from an address text and a port: a nameserver, a
// listener's bind address.
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  int family() const noexcept { return storage.ss_family; }
  const sockaddr *get() const noexcept { return reinterpret_cast<const sockaddr *>(&storage); }
};

// An IPv4 address in dotted-decimal form or, failing that, an IPv6 address in
// text form; no host names.
std::optional<SocketAddress> socket_address(std::string_view text, std::uint16_t port) noexcept;

} // namespace corvane
