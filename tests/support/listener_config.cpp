#include "support/listener_config.hpp"

#include "core/unique_fd.hpp"
#include "support/dns_test_socket.hpp"

#include <sys/socket.h>

#include <stdexcept>

namespace corvane::test {

std::uint16_t free_loopback_port() {
  const UniqueFd fd(bound_test_socket(test_address("127.0.0.1", 0), SOCK_STREAM));
  if (!fd) throw std::runtime_error("no free loopback port");
  return bound_port(fd.get());
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
