#include "core/socket_address.hpp"

#include "core/ip_text.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace corvane {

std::optional<SocketAddress> socket_address(std::string_view text, std::uint16_t port) noexcept {
  SocketAddress address;
  if (const auto v4 = parse_ipv4_text(text)) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    std::memcpy(&in.sin_addr, v4->data(), v4->size());
    std::memcpy(&address.storage, &in, sizeof(in));
    address.length = sizeof(in);
    return address;
  }
  if (const auto v6 = parse_ipv6_text(text)) {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    std::memcpy(&in6.sin6_addr, v6->data(), v6->size());
    std::memcpy(&address.storage, &in6, sizeof(in6));
    address.length = sizeof(in6);
    return address;
  }
  return std::nullopt;
}

} // namespace corvane
