#include "support/milter_client.hpp"

#include "support/wait_until.hpp"

#include "support/dns_test_socket.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

namespace corvane::test {

namespace {

using Clock = std::chrono::steady_clock;

// Body chunks of at most this size, as Sendmail and Postfix cut them.
constexpr std::size_t k_body_chunk = 65535;

std::string errno_text(int value) { return std::strerror(value); }

int remaining_ms(Clock::time_point until) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1'000'000'000));
}

// Waits for `events` on the socket until the deadline; false on timeout.
bool wait_for(int fd, short events, Clock::time_point until) {
  for (;;) {
    pollfd watch{fd, events, 0};
    const int ready = ::poll(&watch, 1, remaining_ms(until));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) throw std::runtime_error("milter client: poll: " + errno_text(errno));
  }
}

int stream_socket(int family, const MilterClientOptions &options) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("milter client: socket: " + errno_text(errno));
  if (options.receive_buffer > 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options.receive_buffer,
                 sizeof(options.receive_buffer));
  return fd;
}

// A non-blocking connect finished within the timeout. A Unix socket whose
// listen queue is full answers EAGAIN and is tried again.
void connect_socket(int fd, const sockaddr *address, socklen_t length,
                    std::chrono::milliseconds timeout, const std::string &peer) {
  const auto until = Clock::now() + timeout;
  for (;;) {
    if (::connect(fd, address, length) == 0) return;
    const int failure = errno;
    if (failure == EINTR) continue;
    if (failure == EAGAIN && Clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds{1});
      continue;
    }
    if (failure != EINPROGRESS) {
      ::close(fd);
      throw std::runtime_error("milter client: connect to " + peer + ": " + errno_text(failure));
    }
    break;
  }
  int failure = 0;
  socklen_t size = sizeof(failure);
  if (!wait_for(fd, POLLOUT, until))
    failure = ETIMEDOUT;
  else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) != 0)
    failure = errno;
  if (failure != 0) {
    ::close(fd);
    throw std::runtime_error("milter client: connect to " + peer + ": " + errno_text(failure));
  }
}

// The value of {mail_addr} and {rcpt_addr}: the address without its brackets.
std::string bare_address(std::string_view address) {
  if (address.size() >= 2 && address.front() == '<' && address.back() == '>')
    address = address.substr(1, address.size() - 2);
  return std::string(address);
}

} // namespace

MilterClient MilterClient::open_unix(const std::string &path, MilterClientOptions options) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path))
    throw std::invalid_argument("milter client: socket path too long: " + path);
  std::memcpy(address.sun_path, path.data(), path.size());
  const int fd = stream_socket(AF_UNIX, options);
  connect_socket(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address), options.timeout,
                 path);
  return MilterClient(fd, options);
}

MilterClient MilterClient::open_tcp(const std::string &address, std::uint16_t port,
                                    MilterClientOptions options) {
  const TestAddress peer = test_address(address, port);
  const int fd = stream_socket(peer.storage.ss_family, options);
  // Small writes go out at once: byte-by-byte sends must reach the filter as
  // separate segments, and nothing may wait for a delayed acknowledgement.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  connect_socket(fd, reinterpret_cast<const sockaddr *>(&peer.storage), peer.length,
                 options.timeout, address + " port " + std::to_string(port));
  return MilterClient(fd, options);
}

MilterClient MilterClient::adopt(int fd, MilterClientOptions options) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
    throw std::runtime_error("milter client: fcntl: " + errno_text(errno));
  return MilterClient(fd, options);
}

MilterClient::MilterClient(MilterClient &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), options_(other.options_), inbox_(std::move(other.inbox_)),
      inbox_start_(other.inbox_start_), peer_closed_(other.peer_closed_) {}

MilterClient &MilterClient::operator=(MilterClient &&other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    options_ = other.options_;
    inbox_ = std::move(other.inbox_);
    inbox_start_ = other.inbox_start_;
    peer_closed_ = other.peer_closed_;
  }
  return *this;
}

MilterClient::~MilterClient() { close(); }

void MilterClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int MilterClient::release_fd() {
  inbox_.clear();
  inbox_start_ = 0;
  return std::exchange(fd_, -1);
}

void MilterClient::fail(const std::string &what) const {
  throw std::runtime_error("milter client: " + what);
}

std::chrono::milliseconds MilterClient::effective(std::chrono::milliseconds timeout) const {
  return timeout.count() > 0 ? timeout : options_.timeout;
}

bool MilterClient::send_raw(std::string_view bytes) {
  const auto until = Clock::now() + options_.timeout;
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    } else if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!wait_for(fd_, POLLOUT, until))
        fail("the filter took no more input for " + std::to_string(options_.timeout.count()) +
             " ms (" + std::to_string(bytes.size()) + " bytes left to send)");
    } else if (sent < 0 && (errno == EPIPE || errno == ECONNRESET)) {
      return false;
    } else {
      fail("send: " + errno_text(errno));
    }
  }
  return true;
}

bool MilterClient::send_packet(const MilterPacket &packet) { return send_raw(frame(packet)); }

bool MilterClient::send_packets(std::span<const MilterPacket> packets) {
  return send_raw(frame(packets));
}

bool MilterClient::send_packet_bytewise(const MilterPacket &packet, std::chrono::microseconds gap) {
  const std::string bytes = frame(packet);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) std::this_thread::sleep_for(gap);
    if (!send_raw(std::string_view(bytes).substr(i, 1))) return false;
  }
  return true;
}

// A send refused by a closed connection is left to the read, which names the
// close.
Replies MilterClient::replies_to(const MilterPacket &packet) {
  (void)send_packet(packet);
  return read_replies();
}

NegotiationReply MilterClient::negotiate(std::uint32_t version, std::uint32_t actions,
                                         std::uint32_t protocol_flags) {
  const Replies replies = replies_to(negotiate_packet(version, actions, protocol_flags));
  return parse_negotiation(replies.back());
}

Replies MilterClient::connect(const ConnectCommand &connect) {
  return replies_to(connect_packet(connect));
}
Replies MilterClient::helo(std::string_view name) { return replies_to(helo_packet(name)); }
Replies MilterClient::mail(std::string_view sender, const std::vector<std::string> &args) {
  return replies_to(mail_packet(sender, args));
}
Replies MilterClient::rcpt(std::string_view recipient, const std::vector<std::string> &args) {
  return replies_to(rcpt_packet(recipient, args));
}
Replies MilterClient::header(std::string_view name, std::string_view value) {
  return replies_to(header_packet(name, value));
}
Replies MilterClient::end_of_headers() { return replies_to(end_of_headers_packet()); }
Replies MilterClient::body(std::string_view chunk) { return replies_to(body_packet(chunk)); }
Replies MilterClient::end_of_message() { return replies_to(end_of_message_packet()); }
Replies MilterClient::command(const MilterPacket &packet) { return replies_to(packet); }

bool MilterClient::macros(char command, const MacroList &macros) {
  return send_packet(macro_packet(command, macros));
}
bool MilterClient::abort() { return send_packet(abort_packet()); }
bool MilterClient::quit() { return send_packet(quit_packet()); }
bool MilterClient::quit_new_connection() { return send_packet(quit_new_connection_packet()); }

std::string_view MilterClient::unread() const {
  return std::string_view(inbox_).substr(inbox_start_);
}

bool MilterClient::receive(Clock::time_point until) {
  if (!wait_for(fd_, POLLIN, until)) return false;
  if (inbox_start_ > 0 && inbox_start_ * 2 >= inbox_.size()) {
    inbox_.erase(0, inbox_start_);
    inbox_start_ = 0;
  }
  char chunk[65536];
  const ssize_t got = ::recv(fd_, chunk, sizeof(chunk), 0);
  if (got > 0) {
    inbox_.append(chunk, static_cast<std::size_t>(got));
  } else if (got == 0 || errno == ECONNRESET) {
    peer_closed_ = true;
  } else if (errno != EAGAIN && errno != EINTR) {
    fail("recv: " + errno_text(errno));
  }
  return true;
}

MilterPacket MilterClient::next_packet(Clock::time_point until, std::chrono::milliseconds timeout) {
  for (;;) {
    const PacketHead head = packet_head(unread());
    if (head.cut == PacketCut::ready) {
      const std::string_view bytes = unread();
      MilterPacket packet{bytes[4], std::string(bytes.substr(5, head.length - 1))};
      inbox_start_ += head.size();
      return packet;
    }
    if (head.cut == PacketCut::bad_length)
      fail("the filter sent a packet with length field " + std::to_string(head.length));
    const std::string partial = unread().empty()
                                    ? std::string()
                                    : std::to_string(unread().size()) + " bytes of it received";
    if (peer_closed_)
      fail("the filter closed the connection" +
           (partial.empty() ? partial : " inside a packet (" + partial + ")"));
    if (!receive(until))
      fail("no complete reply within " + std::to_string(timeout.count()) + " ms" +
           (partial.empty() ? partial : " (" + partial + ")"));
  }
}

MilterPacket MilterClient::read_packet(std::chrono::milliseconds timeout) {
  timeout = effective(timeout);
  return next_packet(Clock::now() + timeout, timeout);
}

Replies MilterClient::read_packets(std::size_t count, std::chrono::milliseconds timeout) {
  timeout = effective(timeout);
  const auto until = Clock::now() + timeout;
  Replies packets;
  while (packets.size() < count)
    packets.push_back(next_packet(until, timeout));
  return packets;
}

Replies MilterClient::read_replies(std::chrono::milliseconds timeout) {
  timeout = effective(timeout);
  const auto until = Clock::now() + timeout;
  Replies replies;
  do {
    replies.push_back(next_packet(until, timeout));
  } while (!is_final_reply(replies.back().code));
  return replies;
}

Replies MilterClient::read_until_closed(std::chrono::milliseconds timeout) {
  timeout = effective(timeout);
  const auto until = Clock::now() + timeout;
  Replies packets;
  for (;;) {
    const PacketHead head = packet_head(unread());
    if (head.cut == PacketCut::ready) {
      packets.push_back(next_packet(until, timeout));
    } else if (peer_closed_) {
      inbox_start_ = inbox_.size();
      return packets;
    } else if (head.cut == PacketCut::bad_length) {
      fail("the filter sent a packet with length field " + std::to_string(head.length));
    } else if (!receive(until)) {
      fail("the connection is still open after " + std::to_string(timeout.count()) + " ms (" +
           std::to_string(packets.size()) + " packets read)");
    }
  }
}

PeerEvent MilterClient::next_event(std::chrono::milliseconds wait) {
  const auto until = Clock::now() + wait;
  while (unread().empty() && !peer_closed_) {
    if (!receive(until)) return PeerEvent::nothing;
  }
  return unread().empty() ? PeerEvent::closed : PeerEvent::data;
}

std::vector<MilterPacket> standard_message_packets(const StandardMessage &message) {
  std::vector<MilterPacket> packets;
  if (message.connection_stages) {
    packets.push_back(macro_packet('C', {{"j", message.helo},
                                         {"{daemon_name}", message.daemon_name},
                                         {"{client_addr}", message.connect.address},
                                         {"{client_name}", message.connect.host}}));
    packets.push_back(connect_packet(message.connect));
    packets.push_back(helo_packet(message.helo));
  }
  packets.push_back(
      macro_packet('M', {{"i", message.queue_id}, {"{mail_addr}", bare_address(message.sender)}}));
  packets.push_back(mail_packet(message.sender));
  for (const auto &recipient : message.recipients) {
    packets.push_back(macro_packet('R', {{"{rcpt_addr}", bare_address(recipient)}}));
    packets.push_back(rcpt_packet(recipient));
  }
  for (const auto &[name, value] : message.headers)
    packets.push_back(header_packet(name, value));
  packets.push_back(end_of_headers_packet());
  for (std::size_t at = 0; at < message.body.size(); at += k_body_chunk)
    packets.push_back(body_packet(std::string_view(message.body).substr(at, k_body_chunk)));
  packets.push_back(macro_packet('E', {{"i", message.queue_id}}));
  packets.push_back(end_of_message_packet());
  return packets;
}

MessageOutcome MilterClient::run_standard_message(const StandardMessage &message) {
  MessageOutcome outcome;
  for (const MilterPacket &packet : standard_message_packets(message)) {
    if (packet.code == 'D') {
      (void)send_packet(packet);
      continue;
    }
    Replies replies = replies_to(packet);
    outcome.stage_codes += replies.back().code;
    if (packet.code == 'E')
      outcome.end_of_message = std::move(replies);
    else if (outcome.stage_codes.back() != 'c')
      break;
  }
  return outcome;
}

bool wait_until_answering(const std::function<MilterClient()> &open,
                          std::chrono::milliseconds limit) {
  return wait_until(
      [&open] {
        try {
          MilterClient probe = open();
          probe.negotiate();
          probe.quit();
          return true;
        } catch (const std::runtime_error &) {
          return false;
        }
      },
      limit);
}

} // namespace corvane::test
