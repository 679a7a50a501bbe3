#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane::dns {

// One nameserver's socket address with the resolver's port.
struct ServerAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  int family() const noexcept { return storage.ss_family; }
  const sockaddr *get() const noexcept { return reinterpret_cast<const sockaddr *>(&storage); }
};

// An IPv4 address in dotted-decimal form or, failing that, an IPv6 address in
// text form; there is no per-server port and no host name.
std::optional<ServerAddress> nameserver_address(std::string_view text, std::uint16_t port) noexcept;

} // namespace corvane::dns
