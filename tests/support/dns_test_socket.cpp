#include "support/dns_test_socket.hpp"

#include "core/socket_address.hpp"

#include <netinet/in.h>
#include <unistd.h>

#include <stdexcept>

namespace corvane::test {

TestAddress test_address(const std::string &text, std::uint16_t port) {
  const auto address = socket_address(text, port);
  if (!address) throw std::invalid_argument("not an address: " + text);
  return {address->storage, address->length};
}

int bound_test_socket(const TestAddress &address, int type) {
  const int fd = ::socket(address.storage.ss_family, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int on = 1;
  if (type == SOCK_STREAM) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  if (address.storage.ss_family == AF_INET6)
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
  if (::bind(fd, reinterpret_cast<const sockaddr *>(&address.storage), address.length) != 0 ||
      (type == SOCK_STREAM && ::listen(fd, 16) != 0)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::uint16_t bound_port(int fd) {
  sockaddr_storage storage{};
  socklen_t length = sizeof(storage);
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&storage), &length);
  if (storage.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<sockaddr_in6 *>(&storage)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in *>(&storage)->sin_port);
}

} // namespace corvane::test
