#include "support/listener_config.hpp"

#include "core/unique_fd.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

#include <stdexcept>

namespace corvane::test {

std::uint16_t free_loopback_port() {
  const UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr *>(&address), &length) != 0)
    throw std::runtime_error("no free loopback port");
  return ntohs(address.sin_port);
}

config::ListenerConfig loopback_listener(config::Enforcement enforcement) {
  config::ListenerConfig listener;
  listener.address.kind = config::ListenAddress::Kind::inet;
  listener.address.host = "127.0.0.1";
  listener.address.port = free_loopback_port();
  listener.enforcement = enforcement;
  return listener;
}

config::ListenerConfig unix_listener(const std::string &path, config::Enforcement enforcement) {
  config::ListenerConfig listener;
  listener.address.kind = config::ListenAddress::Kind::unix_domain;
  listener.address.path = path;
  listener.enforcement = enforcement;
  return listener;
}

} // namespace corvane::test
