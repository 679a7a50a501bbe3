#pragma once

#include "support/milter_packet.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::test {

struct MilterClientOptions {
  // Bounds the connect, each send, and each read of a packet or of one
  // command's replies.
  std::chrono::milliseconds timeout{5000};
  // SO_RCVBUF set before connecting (0 keeps the system's size). A client that
  // stops reading makes the filter's replies pile up in its own output queue
  // once the kernel buffers are full; a small receive buffer shortens that on
  // TCP, though the filter's send buffer still holds megabytes on loopback. On
  // a Unix socket the filter's send buffer alone counts (about 170 KB of
  // 5-byte replies with Linux defaults).
  int receive_buffer = 0;
};

// What the filter did within a wait.
enum class PeerEvent { nothing, data, closed };

// A whole message as an MTA sends it, with a Postfix-like set of macros. The
// defaults make a small valid message from example.org.
struct StandardMessage {
  bool connection_stages = true; // macros, 'C' and 'H' first (once per connection)
  ConnectCommand connect;
  std::string helo = "mail.example.org";
  std::string daemon_name = "test-mta"; // {daemon_name}, sent with the connect macros
  std::string queue_id = "4QTEST01";    // i, sent with the MAIL and end-of-message macros
  std::string sender = "<alice@example.org>";
  std::vector<std::string> recipients{"<bob@example.net>"};
  std::vector<std::pair<std::string, std::string>> headers{{"From", "Alice <alice@example.org>"},
                                                           {"To", "Bob <bob@example.net>"},
                                                           {"Subject", "test"},
                                                           {"Message-ID", "<1@example.org>"}};
  std::string body = "Hello.\r\n";
};

struct MessageOutcome {
  // The final reply of each answered command in order: 'C', 'H', 'M', each
  // 'R', each 'L', 'N', each 'B' (none for an empty body), 'E'. The run stops
  // after the first reply other than 'c'.
  std::string stage_codes;
  // Everything answered to 'E', final reply last; empty when it was not sent.
  Replies end_of_message;
};

// The packets of `message` in the order an MTA sends them; the macros
// ('D', never answered) come before the commands they go with.
std::vector<MilterPacket> standard_message_packets(const StandardMessage &message);

// The MTA end of one milter connection, blocking, every wait bounded. Failures
// (timeouts, an unexpected close, a malformed reply) throw std::runtime_error
// with a description, which fails the calling test.
class MilterClient {
public:
  static MilterClient open_unix(const std::string &path, MilterClientOptions options = {});
  // An IPv4 or IPv6 address text ("127.0.0.1", "::1") and a port.
  static MilterClient open_tcp(const std::string &address, std::uint16_t port,
                               MilterClientOptions options = {});
  // Takes over a connected stream socket (one end of a socketpair, say).
  static MilterClient adopt(int fd, MilterClientOptions options = {});

  MilterClient(MilterClient &&other) noexcept;
  MilterClient &operator=(MilterClient &&other) noexcept;
  MilterClient(const MilterClient &) = delete;
  MilterClient &operator=(const MilterClient &) = delete;
  ~MilterClient();

  int fd() const { return fd_; }
  void close();
  // Hands the socket (non-blocking) to the caller, who closes it; bytes already
  // read and not returned are dropped.
  int release_fd();

  // Sending. Each call writes everything it is given; false when the filter
  // has closed the connection (what it sent before can still be read); throws
  // when the filter takes no input for the timeout.
  bool send_raw(std::string_view bytes);
  bool send_packet(const MilterPacket &packet);
  bool send_packets(std::span<const MilterPacket> packets); // in one write call
  // One write per byte with a pause in between, so that the filter sees the
  // packet arrive in pieces.
  bool send_packet_bytewise(const MilterPacket &packet,
                            std::chrono::microseconds gap = std::chrono::milliseconds{1});

  // Commands that the filter answers: send, then read_replies().
  NegotiationReply negotiate(std::uint32_t version = 6, std::uint32_t actions = k_all_actions,
                             std::uint32_t protocol_flags = k_all_protocol_flags);
  Replies connect(const ConnectCommand &connect);
  Replies helo(std::string_view name);
  Replies mail(std::string_view sender, const std::vector<std::string> &args = {});
  Replies rcpt(std::string_view recipient, const std::vector<std::string> &args = {});
  Replies header(std::string_view name, std::string_view value);
  Replies end_of_headers();
  Replies body(std::string_view chunk);
  Replies end_of_message();
  Replies command(const MilterPacket &packet); // any other letter ('T', 'U', 'X', ...)

  // Commands that the filter never answers: send only (false: the filter had
  // closed the connection).
  bool macros(char command, const MacroList &macros);
  bool abort();
  bool quit();
  bool quit_new_connection();

  // Reading. A timeout of 0 means the client's own timeout.
  MilterPacket read_packet(std::chrono::milliseconds timeout = {});
  Replies read_packets(std::size_t count, std::chrono::milliseconds timeout = {});
  // Packets up to and including the first final reply (is_final_reply).
  Replies read_replies(std::chrono::milliseconds timeout = {});
  // Every packet until the filter closes the connection; a packet cut short by
  // the close is left out. Throws when the connection is still open at the
  // timeout.
  Replies read_until_closed(std::chrono::milliseconds timeout = {});
  // Waits up to `wait` for bytes or the end of the connection; consumes nothing
  // that read_packet would not still return.
  PeerEvent next_event(std::chrono::milliseconds wait);
  // Nothing arrived and the connection stayed open for `wait`.
  bool silent_for(std::chrono::milliseconds wait) { return next_event(wait) == PeerEvent::nothing; }
  // The filter closed the connection within `wait` without sending anything
  // more.
  bool closed_within(std::chrono::milliseconds wait) {
    return next_event(wait) == PeerEvent::closed;
  }

  // Sends the message stage by stage, reading each answer.
  MessageOutcome run_standard_message(const StandardMessage &message);

private:
  using Clock = std::chrono::steady_clock;

  MilterClient(int fd, MilterClientOptions options) : fd_(fd), options_(options) {}
  std::string_view unread() const;
  // Reads once into the inbox, waiting until the deadline; false on timeout.
  bool receive(Clock::time_point until);
  Replies replies_to(const MilterPacket &packet);
  std::chrono::milliseconds effective(std::chrono::milliseconds timeout) const;
  // `timeout` is the bound being applied, named in the failure.
  MilterPacket next_packet(Clock::time_point until, std::chrono::milliseconds timeout);
  [[noreturn]] void fail(const std::string &what) const;

  int fd_ = -1;
  MilterClientOptions options_;
  std::string inbox_;           // received bytes; those before inbox_start_ are returned
  std::size_t inbox_start_ = 0; // so that reading many packets does not move the rest each time
  bool peer_closed_ = false;
};

// Waits until a milter that was just started answers, connecting with
// `open` again and again. The kernel takes connections as soon as a socket
// listens, and corvane opens its sockets before its workers run: a
// connection counts once its negotiation is answered. False when none is
// within `limit`.
bool wait_until_answering(const std::function<MilterClient()> &open,
                          std::chrono::milliseconds limit = std::chrono::seconds(5));

} // namespace corvane::test
