// milter_stub: the smallest filter that speaks milter protocol version 6, as a
// peer for milter_load. One thread, one epoll loop; it answers 'O' with the
// daemon's offer (actions 0x11, no protocol flags), every other command that
// expects an answer with 'c' (end of message too), and nothing to 'D', 'A' and
// 'K'; 'Q' closes the connection. While a connection's answers wait for the
// MTA to read them, it reads nothing more from it. It stops on SIGINT or
// SIGTERM.

#include "load_generator.hpp"
#include "support/dns_test_socket.hpp"
#include "support/milter_packet.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

using corvane::test::MilterPacket;

volatile sig_atomic_t g_stop = 0;
void stop(int) { g_stop = 1; }

struct Peer {
  std::string in;
  std::string out;
  std::size_t out_at = 0;
};

int listen_unix(const std::string &path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return -1;
  std::memcpy(address.sun_path, path.data(), path.size());
  ::unlink(path.c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Appends the answer to one command; false when the connection is to close.
bool answer(const MilterPacket &packet, std::string &out) {
  switch (packet.code) {
  case 'Q': return false;
  case 'D':
  case 'A':
  case 'K': return true;
  case 'O': {
    if (packet.payload.size() < 12) return false;
    const auto offered = corvane::test::parse_negotiation(packet);
    out += corvane::test::frame(
        corvane::test::negotiate_packet(6, offered.actions & 0x11, offered.protocol_flags & 0));
    return true;
  }
  default: out += corvane::test::frame(MilterPacket{'c', {}}); return true;
  }
}

class StubFilter {
public:
  explicit StubFilter(int listener) : listener_(listener) {}

  int run() {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0 || !watch(listener_, EPOLLIN, EPOLL_CTL_ADD)) return 1;
    epoll_event events[256];
    while (g_stop == 0) {
      const int ready = ::epoll_wait(epoll_, events, 256, 500);
      for (int i = 0; i < ready; ++i) {
        const int fd = events[i].data.fd;
        if (fd == listener_)
          accept_all();
        else if ((events[i].events & EPOLLOUT) != 0)
          flush(fd);
        else
          serve(fd);
      }
    }
    for (const auto &peer : peers_)
      ::close(peer.first);
    ::close(epoll_);
    return 0;
  }

private:
  bool watch(int fd, std::uint32_t events, int operation) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    return ::epoll_ctl(epoll_, operation, fd, &event) == 0;
  }

  void accept_all() {
    for (;;) {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      peers_[fd];
      watch(fd, EPOLLIN, EPOLL_CTL_ADD);
    }
  }

  void drop(int fd) {
    ::close(fd);
    peers_.erase(fd);
  }

  // Reads once, answers every whole packet, writes the answers in one go.
  void serve(int fd) {
    Peer &peer = peers_[fd];
    char chunk[65536];
    const ssize_t got = ::recv(fd, chunk, sizeof(chunk), 0);
    if (got <= 0) {
      if (got == 0 || (errno != EAGAIN && errno != EINTR)) drop(fd);
      return;
    }
    peer.in.append(chunk, static_cast<std::size_t>(got));
    std::size_t at = 0;
    bool keep = true;
    while (keep) {
      const std::string_view unread = std::string_view(peer.in).substr(at);
      const auto head = corvane::test::packet_head(unread);
      if (head.cut == corvane::test::PacketCut::need_more) break;
      if (head.cut == corvane::test::PacketCut::bad_length)
        keep = false;
      else
        keep = answer({unread[4], std::string(unread.substr(5, head.length - 1))}, peer.out);
      at += head.size();
    }
    if (!keep) {
      drop(fd);
      return;
    }
    peer.in.erase(0, at);
    flush(fd);
  }

  void flush(int fd) {
    Peer &peer = peers_[fd];
    while (peer.out_at < peer.out.size()) {
      const ssize_t sent =
          ::send(fd, peer.out.data() + peer.out_at, peer.out.size() - peer.out_at, MSG_NOSIGNAL);
      if (sent < 0 && errno == EAGAIN) {
        watch(fd, EPOLLOUT, EPOLL_CTL_MOD);
        return;
      }
      if (sent <= 0) {
        drop(fd);
        return;
      }
      peer.out_at += static_cast<std::size_t>(sent);
    }
    peer.out.clear();
    peer.out_at = 0;
    watch(fd, EPOLLIN, EPOLL_CTL_MOD);
  }

  int listener_;
  int epoll_ = -1;
  std::map<int, Peer> peers_;
};

} // namespace

int main(int argc, char **argv) {
  const std::string_view option = argc == 3 ? argv[1] : "";
  int listener = -1;
  std::string unix_path;
  if (option == "--unix") {
    unix_path = argv[2];
    listener = listen_unix(unix_path);
  } else if (option == "--tcp") {
    const auto endpoint = corvane::bench::tcp_endpoint(argv[2]);
    try {
      if (endpoint)
        listener = corvane::test::bound_test_socket(
            corvane::test::test_address(endpoint->host, endpoint->port), SOCK_STREAM);
    } catch (const std::invalid_argument &) {
      errno = EINVAL;
    }
  } else {
    std::fputs("usage: milter_stub (--unix PATH | --tcp HOST:PORT)\n", stderr);
    return 2;
  }
  // Non-blocking, so that accepting stops when the queue is empty.
  if (listener < 0 || ::listen(listener, 1024) != 0 ||
      ::fcntl(listener, F_SETFL, ::fcntl(listener, F_GETFL) | O_NONBLOCK) != 0) {
    std::fprintf(stderr, "milter_stub: cannot listen on %s: %s\n", argv[2], std::strerror(errno));
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = stop;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  std::fprintf(stderr, "milter_stub: listening on %s\n", argv[2]);
  const int status = StubFilter(listener).run();
  ::close(listener);
  if (!unix_path.empty()) ::unlink(unix_path.c_str());
  return status;
}
