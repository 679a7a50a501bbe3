#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace corvane::test {

// A socket address for the test peers (the scriptable server, knotd).
struct TestAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

// An IPv4 or IPv6 address text with a port; throws std::invalid_argument for
// anything else.
TestAddress test_address(const std::string &text, std::uint16_t port);

// A UDP (SOCK_DGRAM) or listening TCP (SOCK_STREAM) socket bound to the
// address, or -1.
int bound_test_socket(const TestAddress &address, int type);

// The local port a socket is bound to.
std::uint16_t bound_port(int fd);

} // namespace corvane::test
