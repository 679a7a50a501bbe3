#include "support/dns_test_socket.hpp"
#include "support/milter_client.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <thread>

namespace corvane::test {
namespace {

using namespace std::string_literals;
using namespace std::chrono_literals;

// The MTA end and the filter end of a socketpair; the filter end is written by
// hand.
struct Pair {
  Pair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
      throw std::runtime_error("socketpair");
    client = std::make_unique<MilterClient>(MilterClient::adopt(fds[0], {.timeout = 2000ms}));
    filter = fds[1];
  }
  ~Pair() {
    if (filter >= 0) ::close(filter);
  }
  void filter_writes(const std::string &bytes) const {
    ASSERT_EQ(::write(filter, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void close_filter() {
    ::close(filter);
    filter = -1;
  }
  std::unique_ptr<MilterClient> client;
  int filter = -1;
};

// Reads one whole packet at the filter end; empty code when the client closed.
MilterPacket filter_reads(int fd) {
  std::string head(4, '\0');
  if (::recv(fd, head.data(), 4, MSG_WAITALL) != 4) return {};
  std::uint32_t length = 0;
  for (char c : head)
    length = length << 8 | static_cast<unsigned char>(c);
  std::string rest(length, '\0');
  if (::recv(fd, rest.data(), length, MSG_WAITALL) != static_cast<ssize_t>(length)) return {};
  return MilterPacket{rest[0], rest.substr(1)};
}

TEST(MilterPacketTest, CommandsHaveTheirWireForm) {
  const struct {
    const char *name;
    MilterPacket packet;
    std::string wire;
  } cases[] = {
      {"negotiate", negotiate_packet(6, 0x1FF, 0x1FFFFF),
       "\0\0\0\x0d"
       "O\0\0\0\x06\0\0\x01\xff\0\x1f\xff\xff"s},
      {"macros", macro_packet('C', {{"j", "mx"}, {"{daemon_name}", "d"}}),
       "\0\0\0\x17"
       "DCj\0mx\0{daemon_name}\0d\0"s},
      {"connect ipv4", connect_packet({"h.example", '4', 25, "192.0.2.1"}),
       "\0\0\0\x18"
       "Ch.example\0"
       "4\0\x19"
       "192.0.2.1\0"s},
      {"connect ipv6", connect_packet({"h", '6', 0x1234, "::1"}),
       "\0\0\0\x0a"
       "Ch\0"
       "6\x12\x34::1\0"s},
      {"connect unknown family", connect_packet({"h", 'U', 25, "ignored"}),
       "\0\0\0\x04"
       "Ch\0U"s},
      {"helo", helo_packet("mx"),
       "\0\0\0\x04"
       "Hmx\0"s},
      {"mail with ESMTP args", mail_packet("<a@b>", {"SIZE=10", "BODY=8BITMIME"}),
       "\0\0\0\x1d"
       "M<a@b>\0SIZE=10\0BODY=8BITMIME\0"s},
      {"rcpt", rcpt_packet("<c@d>"),
       "\0\0\0\x07"
       "R<c@d>\0"s},
      {"header", header_packet("Subject", "hi"),
       "\0\0\0\x0c"
       "LSubject\0hi\0"s},
      {"body", body_packet("x\r\n"),
       "\0\0\0\x04"
       "Bx\r\n"s},
      {"unknown command", unknown_command_packet("XYZZY"),
       "\0\0\0\x07"
       "UXYZZY\0"s},
      {"end of message", end_of_message_packet(),
       "\0\0\0\x01"
       "E"s},
  };
  for (const auto &c : cases)
    EXPECT_EQ(frame(c.packet), c.wire) << c.name;
}

TEST(MilterClientTest, ReadsEveryPacketOfOneAnswerUpToTheFinalReply) {
  Pair pair;
  const std::string inserted = "mx.example.net;\n\tdmarc=fail (p=reject) header.from=a.example";
  const std::string answer =
      frame(std::vector<MilterPacket>{{'m', "\0\0\0\x04"
                                            "Authentication-Results\0\0"s},
                                      {'m', "\0\0\0\x01"
                                            "X-Tag\0\0"s},
                                      {'i', "\0\0\0\0Authentication-Results\0"s + inserted + '\0'},
                                      {'y', "550 5.7.1 rejected\0"s}}) +
      frame(MilterPacket{'c', ""});
  // The first packets arrive in two pieces cut inside a length field, the rest
  // in one read together with the next answer.
  pair.filter_writes(answer.substr(0, 2));
  std::thread later([&] {
    std::this_thread::sleep_for(30ms);
    pair.filter_writes(answer.substr(2));
  });
  const Replies replies = pair.client->read_replies();
  later.join();

  // A reply-code packet is the whole answer to end of message.
  EXPECT_EQ(reply_codes(replies), "mmiy");
  EXPECT_EQ(parse_header_change(replies[0]), (HeaderChange{4, "Authentication-Results", ""}));
  EXPECT_EQ(parse_header_change(replies[1]), (HeaderChange{1, "X-Tag", ""}));
  EXPECT_EQ(parse_header_change(replies[2]), (HeaderChange{0, "Authentication-Results", inserted}));
  EXPECT_EQ(parse_reply_code_text(replies[3]), "550 5.7.1 rejected");
  EXPECT_EQ(pair.client->next_event(0ms), PeerEvent::data);
  EXPECT_EQ(reply_codes(pair.client->read_replies()), "c");
  EXPECT_TRUE(pair.client->silent_for(50ms));
  // Closed with one whole packet and the start of the next unread.
  pair.filter_writes(frame(MilterPacket{'t', ""}) + "\0\0\0\x05"s);
  pair.close_filter();
  EXPECT_EQ(reply_codes(pair.client->read_until_closed()), "t");
  EXPECT_TRUE(pair.client->closed_within(0ms));
  EXPECT_THROW(pair.client->read_packet(), std::runtime_error);
  EXPECT_FALSE(pair.client->quit());
}

TEST(MilterClientTest, FailsOnFaultsOfTheFilterWithinItsTimeout) {
  const struct {
    const char *name;
    std::string bytes;
    bool close_after;
    const char *message;
  } cases[] = {
      {"silence", "", false, "no complete reply within 150 ms"},
      {"half a packet",
       "\0\0\0\x05"
       "O\0\0"s,
       false, "no complete reply within 150 ms (7 bytes of it received)"},
      {"length 0", "\0\0\0\0c"s, false, "length field 0"},
      {"length past the limit",
       "\0\x10\0\x01"
       "c"s,
       false, "length field 1048577"},
      {"close inside a packet",
       "\0\0\0\x02"
       "y"s,
       true, "closed the connection inside a packet (5 bytes of it received)"},
      {"close", "", true, "closed the connection"},
  };
  for (const auto &c : cases) {
    Pair pair;
    pair.filter_writes(c.bytes);
    if (c.close_after) pair.close_filter();
    const auto start = std::chrono::steady_clock::now();
    try {
      (void)pair.client->read_replies(150ms);
      ADD_FAILURE() << c.name << ": no failure";
    } catch (const std::runtime_error &failure) {
      EXPECT_NE(std::string(failure.what()).find(c.message), std::string::npos)
          << c.name << ": " << failure.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << c.name;
  }
}

TEST(MilterPacketTest, ParsedViewsRefuseMalformedPackets) {
  const struct {
    const char *name;
    std::function<void()> parse;
  } cases[] = {
      {"change without index",
       [] {
         parse_header_change({'m', "\0\0\0"s});
       }},
      {"change without NUL after the name",
       [] {
         parse_header_change({'m', "\0\0\0\x01X"s});
       }},
      {"insert without NUL after the value",
       [] {
         parse_header_change({'i', "\0\0\0\0X\0v"s});
       }},
      {"insert with bytes after the value",
       [] {
         parse_header_change({'i', "\0\0\0\0X\0v\0\0"s});
       }},
      {"change read from a reply code",
       [] {
         parse_header_change({'y', "\0\0\0\0X\0v\0"s});
       }},
      {"reply code without NUL",
       [] {
         parse_reply_code_text({'y', "550 5.7.1 no"});
       }},
      {"reply code with inner NUL",
       [] {
         parse_reply_code_text({'y', "550\0x\0"s});
       }},
      {"short negotiation",
       [] {
         parse_negotiation({'O', "\0\0\0\x06\0\0\0\x11\0\0\0"s});
       }},
  };
  for (const auto &c : cases)
    EXPECT_THROW(c.parse(), std::invalid_argument) << c.name;
  const NegotiationReply reply = parse_negotiation({'O', "\0\0\0\x06\0\0\0\x11\0\0\0\0"s});
  EXPECT_EQ(reply.version, 6u);
  EXPECT_EQ(reply.actions, 0x11u);
  EXPECT_EQ(reply.protocol_flags, 0u);
  EXPECT_TRUE(reply.extra.empty());
}

// A filter that answers every command the daemon's way (nothing to 'D', 'A',
// 'K'; 'O' with a negotiation reply) and notes what it received; it answers
// `reject_code` with 'r' and 'E' with an insertion and 'c'.
struct ScriptedFilter {
  explicit ScriptedFilter(int fd, char reject_code = 0)
      : thread([this, fd, reject_code] {
          for (MilterPacket packet = filter_reads(fd); packet.code != 0;
               packet = filter_reads(fd)) {
            received.push_back(packet);
            std::vector<MilterPacket> answer;
            if (packet.code == reject_code)
              answer = {{'r', ""}};
            else if (packet.code == 'E')
              answer = {{'i', "\0\0\0\0X\0y\0"s}, {'c', ""}};
            else if (packet.code == 'O')
              answer = {{'O', "\0\0\0\x06\0\0\0\x11\0\0\0\0"s}};
            else if (std::string("DAKQ").find(packet.code) == std::string::npos)
              answer = {{'c', ""}};
            const std::string bytes = frame(answer);
            if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
              return;
          }
        }) {}
  std::vector<MilterPacket> received;
  std::thread thread;
};

TEST(MilterClientTest, StandardMessageStopsAtTheFirstRefusal) {
  const struct {
    const char *name;
    char reject_code;
    std::string stage_codes;
    std::string end_of_message;
    std::string commands;
  } cases[] = {
      {"accepted", 0, "ccccccccccc", "ic", "ODCHDMDRLLLLNBDE"},
      {"rejected recipient", 'R', "cccr", "", "ODCHDMDR"},
  };
  for (const auto &c : cases) {
    Pair pair;
    ScriptedFilter filter(pair.filter, c.reject_code);
    EXPECT_EQ(pair.client->negotiate().actions, 0x11u) << c.name;
    const MessageOutcome outcome = pair.client->run_standard_message(StandardMessage{});
    pair.client->close();
    filter.thread.join();

    EXPECT_EQ(outcome.stage_codes, c.stage_codes) << c.name;
    EXPECT_EQ(reply_codes(outcome.end_of_message), c.end_of_message) << c.name;
    std::string commands;
    for (const auto &packet : filter.received)
      commands += packet.code;
    EXPECT_EQ(commands, c.commands) << c.name;
    EXPECT_EQ(filter.received.at(4).payload, "Mi\0"
                                             "4QTEST01\0{mail_addr}\0alice@example.org\0"s)
        << c.name;
  }
}

TEST(MilterClientTest, ConnectsOverUnixSocketsAndTcpOnBothFamilies) {
  const TempDir directory;
  const std::string path = directory.file("milter.sock");
  const int unix_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un unix_address{};
  unix_address.sun_family = AF_UNIX;
  std::strcpy(unix_address.sun_path, path.c_str());
  ASSERT_EQ(
      ::bind(unix_listener, reinterpret_cast<sockaddr *>(&unix_address), sizeof(unix_address)), 0);
  ASSERT_EQ(::listen(unix_listener, 4), 0);
  const int v4_listener = bound_test_socket(test_address("127.0.0.1", 0), SOCK_STREAM);
  const int v6_listener = bound_test_socket(test_address("::1", 0), SOCK_STREAM);
  ASSERT_GE(v4_listener, 0);
  ASSERT_GE(v6_listener, 0);

  const struct {
    const char *name;
    int listener;
    std::function<MilterClient()> open;
  } cases[] = {
      {"unix", unix_listener, [&] { return MilterClient::open_unix(path); }},
      {"ipv4", v4_listener,
       [&] { return MilterClient::open_tcp("127.0.0.1", bound_port(v4_listener)); }},
      {"ipv6", v6_listener, [&] { return MilterClient::open_tcp("::1", bound_port(v6_listener)); }},
  };
  for (const auto &c : cases) {
    MilterClient client = c.open();
    const int filter = ::accept4(c.listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(filter, 0) << c.name;
    client.send_packet_bytewise(negotiate_packet(6, 0x1FF, 0), 100us);
    EXPECT_EQ(filter_reads(filter), negotiate_packet(6, 0x1FF, 0)) << c.name;
    const std::string reply = frame(MilterPacket{'O', "\0\0\0\x06\0\0\0\x01\0\0\0\0"s});
    ASSERT_EQ(::write(filter, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
    EXPECT_EQ(parse_negotiation(client.read_packet()).actions, 0x01u) << c.name;
    ::close(filter);
    EXPECT_TRUE(client.closed_within(1000ms)) << c.name;
  }
  ::close(unix_listener);
  ::close(v4_listener);
  ::close(v6_listener);
}

} // namespace
} // namespace corvane::test
