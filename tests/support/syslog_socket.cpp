#include "support/syslog_socket.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace corvane::test {

namespace {

using Clock = std::chrono::steady_clock;

// Larger than any line the log code writes, so that a datagram longer than
// that bound would show as such.
constexpr std::size_t k_datagram_bytes = 4096;

} // namespace

SyslogSocket::SyslogSocket() : path_(directory_.file("log")) { start(); }

SyslogSocket::~SyslogSocket() { stop(); }

void SyslogSocket::start() {
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("syslog socket: socket failed");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof(address.sun_path))
    throw std::runtime_error("syslog socket: path too long: " + path_);
  std::memcpy(address.sun_path, path_.c_str(), path_.size());
  if (::bind(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0)
    throw std::runtime_error("syslog socket: cannot bind " + path_);
}

void SyslogSocket::stop() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  ::unlink(path_.c_str());
}

std::string SyslogSocket::receive(std::chrono::milliseconds limit) {
  const auto until = Clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return "";
    pollfd watch{fd_, POLLIN, 0};
    if (::poll(&watch, 1, static_cast<int>(left.count())) <= 0) continue;
    char datagram[k_datagram_bytes];
    const ssize_t got = ::recv(fd_, datagram, sizeof(datagram), MSG_DONTWAIT);
    if (got > 0) return std::string(datagram, static_cast<std::size_t>(got));
  }
}

std::string SyslogSocket::wait_for(const std::string &text, std::chrono::milliseconds limit) {
  const auto until = Clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return "";
    std::string datagram = receive(left);
    if (datagram.find(text) != std::string::npos) return datagram;
  }
}

bool SyslogSocket::nothing_pending() {
  char datagram[16];
  return ::recv(fd_, datagram, sizeof(datagram), MSG_DONTWAIT) < 0;
}

} // namespace corvane::test
