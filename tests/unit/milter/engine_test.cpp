// The protocol engine as an MTA meets it: a real worker on its own thread,
// the test milter client over real sockets, byte for byte.
#include "log/log.hpp"
#include "milter/worker_pool.hpp"
#include "support/listener_config.hpp"
#include "support/milter_client.hpp"
#include "support/stderr_capture.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace corvane::milter {
namespace {

using test::MilterClient;
using test::MilterPacket;

// What the end-of-message hook saw of the session, copied on the worker
// thread.
struct Snapshot {
  std::string client_addr, client_name, daemon_name, auth_type;
  std::string mail_addr, rcpt_addr, queue_id;
  std::string helo, sender, connect_address;
  std::vector<std::string> recipients;
  std::vector<std::pair<std::string, std::string>> headers;
  std::uint64_t header_bytes = 0;
  char family = 0;
  std::string peer_label;
};

std::string text(const OptionalText &field) { return field ? std::string(*field) : "<none>"; }

class Recorder {
public:
  MilterHooks hooks() {
    MilterHooks hooks;
    hooks.eom = [this](MilterSession &session) {
      Snapshot shot;
      shot.client_addr = text(session.client_addr);
      shot.client_name = text(session.client_name);
      shot.daemon_name = text(session.daemon_name);
      shot.auth_type = text(session.auth_type);
      shot.mail_addr = text(session.message.mail_addr);
      shot.rcpt_addr = text(session.message.rcpt_addr);
      shot.queue_id = text(session.message.queue_id);
      shot.helo = text(session.helo_name);
      shot.sender = text(session.message.envelope_sender);
      shot.connect_address = text(session.connect_address);
      for (const auto &recipient : session.message.recipients)
        shot.recipients.emplace_back(recipient);
      for (const auto &header : session.message.headers)
        shot.headers.emplace_back(header.name, header.value);
      shot.header_bytes = session.message.header_bytes;
      shot.family = session.client_family;
      shot.peer_label = std::string(session.peer_label.view());
      const std::lock_guard guard(mutex_);
      shots_.push_back(std::move(shot));
      return 'c';
    };
    return hooks;
  }
  Snapshot last() {
    const std::lock_guard guard(mutex_);
    return shots_.empty() ? Snapshot{} : shots_.back();
  }

private:
  std::mutex mutex_;
  std::vector<Snapshot> shots_;
};

struct Engine {
  explicit Engine(MilterHooks hooks, SessionLimits limits = {}) : pool(1) {
    WorkerPoolSettings settings;
    settings.listeners = {test::loopback_listener()};
    settings.limits = limits;
    settings.hooks = std::move(hooks);
    this->listeners = settings.listeners;
    const auto started = pool.start(settings);
    if (!started) ADD_FAILURE() << error_name(started.error());
  }
  MilterClient client() const {
    return MilterClient::open_tcp("127.0.0.1", listeners[0].address.port);
  }

  std::vector<config::ListenerConfig> listeners;
  WorkerPool pool;
};

MilterPacket packet(char code, std::string payload = {}) { return {code, std::move(payload)}; }

TEST(MilterEngineTest, NegotiationGrantsWhatBothSidesOffer) {
  struct Case {
    std::uint32_t actions, protocol;
    std::uint32_t granted_actions, granted_protocol;
  };
  const std::vector<Case> cases{
      {0x1FF, 0x1FFFFF, 0x11, 0}, {0x01, 0x0, 0x01, 0}, {0x10, 0xFF, 0x10, 0}, {0, 0, 0, 0}};
  Recorder recorder;
  Engine engine(recorder.hooks());
  for (const auto &c : cases) {
    auto client = engine.client();
    client.send_packet(test::negotiate_packet(2, c.actions, c.protocol));
    const MilterPacket reply = client.read_packet();
    std::string expected("O\0\0\0\x06", 5);
    for (const std::uint32_t value : {c.granted_actions, c.granted_protocol})
      for (int shift = 24; shift >= 0; shift -= 8)
        expected.push_back(static_cast<char>((value >> shift) & 0xFF));
    EXPECT_EQ(std::string(1, reply.code) + reply.payload, expected) << std::hex << c.actions;
  }
  // Fewer than 12 bytes of negotiation: no reply, the connection ends.
  auto short_offer = engine.client();
  short_offer.send_packet(packet('O', std::string(11, '\0')));
  EXPECT_TRUE(short_offer.closed_within(std::chrono::seconds(2)));
}

TEST(MilterEngineTest, AnswersEveryCommandThatCallsForAnAnswer) {
  struct Case {
    MilterPacket command;
    const char *reply; // "" when the protocol has none
  };
  const std::vector<Case> cases{
      {test::macro_packet('C', {{"j", "mx"}}), ""},
      {test::connect_packet({}), "c"},
      {test::helo_packet("client.example"), "c"},
      {test::mail_packet("<a@example.org>"), "c"},
      {test::rcpt_packet("<b@example.net>"), "c"},
      {test::header_packet("Subject", "hi"), "c"},
      {packet('L', "no-nul-after-name"), "c"},
      {test::end_of_headers_packet(), "c"},
      {test::body_packet("text"), "c"},
      {test::data_packet(), "c"},
      {test::unknown_command_packet("XYZZY"), "c"},
      {packet('X', "anything"), "c"},
      {test::abort_packet(), ""},
      {test::quit_new_connection_packet(), ""},
      {test::end_of_message_packet(), "a"}, // no end-of-message hook: accept
  };
  Engine engine(MilterHooks{});
  auto client = engine.client();
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(1, c.command.code));
    client.send_packet(c.command);
    if (*c.reply == '\0') {
      EXPECT_TRUE(client.silent_for(std::chrono::milliseconds(50)));
    } else {
      EXPECT_EQ(client.read_packet(), packet(*c.reply));
    }
  }
  client.quit();
  EXPECT_TRUE(client.closed_within(std::chrono::seconds(2)));
}

TEST(MilterEngineTest, PacketLengthsAtTheLimit) {
  Engine engine(MilterHooks{});
  struct Case {
    const char *name;
    std::string bytes;
    bool answered;
  };
  const std::vector<Case> cases{
      {"length 0", std::string("\0\0\0\0", 4), false},
      {"length 1,048,577", std::string("\0\x10\0\x01", 4) + "B" + std::string(1'048'576, 'x'),
       false},
      {"length 1,048,576", std::string("\0\x10\0\0", 4) + "B" + std::string(1'048'575, 'x'), true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    auto client = engine.client();
    client.send_raw(c.bytes);
    if (c.answered)
      EXPECT_EQ(client.read_packet(), packet('c'));
    else
      EXPECT_TRUE(client.closed_within(std::chrono::seconds(2)));
  }
}

TEST(MilterEngineTest, PacketsSplitOrBatchedAreEachAnsweredOnce) {
  Engine engine(MilterHooks{});
  auto client = engine.client();
  client.send_packet_bytewise(test::helo_packet("slow.example"));
  EXPECT_EQ(client.read_packet(), packet('c'));
  EXPECT_TRUE(client.silent_for(std::chrono::milliseconds(20)));
  std::vector<MilterPacket> batch;
  for (int i = 0; i < 200; ++i)
    batch.push_back(test::header_packet("X-N", std::to_string(i)));
  client.send_packets(batch);
  EXPECT_EQ(test::reply_codes(client.read_packets(200)), std::string(200, 'c'));
  EXPECT_TRUE(client.silent_for(std::chrono::milliseconds(20)));
}

TEST(MilterEngineTest, MacrosAndTheMessageBoundary) {
  Recorder recorder;
  Engine engine(recorder.hooks());
  auto client = engine.client();
  client.macros('C', {{"{client_addr}", "192.0.2.1"},
                      {"{client_addr}", "192.0.2.2"},
                      {"client_name", "relay.example"},
                      {"{daemon_name}", "mx-in"},
                      {"{auth_type}", "PLAIN"},
                      {"Client_Addr", "ignored"},
                      {"{i}", "braced-ignored"},
                      {"i", "Q1"}});
  ASSERT_EQ(client.connect({"relay.example", '6', 2525, "2001:db8::1"}),
            test::Replies{packet('c')});
  ASSERT_EQ(client.helo("relay.example"), test::Replies{packet('c')});
  client.macros('M', {{"mail_addr", "a@example.org"}, {"{rcpt_addr}", "b@example.net"}});
  ASSERT_EQ(client.mail("<a@example.org>", {"SIZE=10"}), test::Replies{packet('c')});
  ASSERT_EQ(client.rcpt("<b@example.net>"), test::Replies{packet('c')});
  ASSERT_EQ(client.rcpt("<c@example.net>"), test::Replies{packet('c')});
  ASSERT_EQ(client.header("From", "a@example.org"), test::Replies{packet('c')});
  ASSERT_EQ(client.header("Subject", " two  spaces "), test::Replies{packet('c')});
  ASSERT_EQ(client.end_of_message(), test::Replies{packet('c')});

  Snapshot first = recorder.last();
  EXPECT_EQ(first.client_addr, "192.0.2.2");
  EXPECT_EQ(first.client_name, "relay.example");
  EXPECT_EQ(first.daemon_name, "mx-in");
  EXPECT_EQ(first.auth_type, "PLAIN");
  EXPECT_EQ(first.queue_id, "Q1");
  EXPECT_EQ(first.mail_addr, "a@example.org");
  EXPECT_EQ(first.rcpt_addr, "b@example.net");
  EXPECT_EQ(first.sender, "<a@example.org>");
  EXPECT_EQ(first.recipients, (std::vector<std::string>{"<b@example.net>", "<c@example.net>"}));
  EXPECT_EQ(first.connect_address, "2001:db8::1");
  EXPECT_EQ(first.family, '6');
  EXPECT_EQ(first.helo, "relay.example");
  EXPECT_EQ(first.headers.size(), 2u);
  EXPECT_EQ(first.headers[1].second, " two  spaces ");
  EXPECT_EQ(first.header_bytes, std::string("Froma@example.orgSubject two  spaces ").size());
  EXPECT_EQ(first.peer_label, "127.0.0.1");

  // The next message starts empty; the connection's values stay.
  ASSERT_EQ(client.mail(""), test::Replies{packet('c')});
  ASSERT_EQ(client.end_of_message(), test::Replies{packet('c')});
  Snapshot second = recorder.last();
  EXPECT_TRUE(second.headers.empty());
  EXPECT_TRUE(second.recipients.empty());
  EXPECT_EQ(second.sender, "");
  EXPECT_EQ(second.queue_id, "<none>");
  EXPECT_EQ(second.mail_addr, "<none>");
  EXPECT_EQ(second.client_addr, "192.0.2.2");
  EXPECT_EQ(second.helo, "relay.example");
  EXPECT_EQ(second.header_bytes, 0u);

  // After 'K' the same; a new 'C' replaces the connect address, and an
  // unknown family is written 'U'.
  ASSERT_EQ(client.header("To", "x"), test::Replies{packet('c')});
  client.quit_new_connection();
  ASSERT_EQ(client.connect({"other", 'X', 1, "10.0.0.9"}), test::Replies{packet('c')});
  ASSERT_EQ(client.end_of_message(), test::Replies{packet('c')});
  Snapshot third = recorder.last();
  EXPECT_TRUE(third.headers.empty());
  EXPECT_EQ(third.connect_address, "10.0.0.9");
  EXPECT_EQ(third.family, 'U');
  EXPECT_EQ(third.daemon_name, "mx-in");
}

TEST(MilterEngineTest, HeaderLimits) {
  struct Case {
    const char *name;
    SessionLimits limits;
    std::vector<std::pair<std::string, std::string>> headers;
    std::size_t stored;
    const char *limit_line; // "" when none
  };
  const std::string fifty(46, 'v'); // "Name" + 46 bytes = 50
  const std::vector<Case> cases{
      {"MaxHeaders 3",
       {3, 0},
       {{"A", "1"}, {"B", "2"}, {"C", "3"}, {"D", "4"}, {"E", "5"}},
       3,
       "header limit reached (3 headers, 6 bytes) from test-mta[127.0.0.1]: message will not be "
       "authenticated"},
      {"MaxHeaderBytes 100, exactly 100", {0, 100}, {{"Name", fifty}, {"Name", fifty}}, 2, ""},
      {"MaxHeaderBytes 100, 101",
       {0, 100},
       {{"Name", fifty}, {"Name", fifty + "v"}},
       1,
       "header limit reached (1 headers, 50 bytes) from test-mta[127.0.0.1]"},
      {"no limits",
       {0, 0},
       std::vector<std::pair<std::string, std::string>>(600, {"N", fifty}),
       600,
       ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Recorder recorder;
    Engine engine(recorder.hooks(), c.limits);
    test::StderrCapture capture;
    auto client = engine.client();
    client.macros('C', {{"{daemon_name}", "test-mta"}});
    for (const auto &[name, value] : c.headers)
      ASSERT_EQ(client.header(name, value), test::Replies{packet('c')});
    const bool tripped = *c.limit_line != '\0';
    EXPECT_EQ(client.end_of_message(), test::Replies{packet(tripped ? 't' : 'c')});
    const std::string log = capture.text();
    if (tripped) {
      EXPECT_NE(log.find(c.limit_line), std::string::npos) << log;
      EXPECT_EQ(log.find("header limit reached"), log.rfind("header limit reached")) << log;
      EXPECT_NE(log.find("tempfail: header block from test-mta[127.0.0.1] exceeded MaxHeaders=" +
                         std::to_string(c.limits.max_headers) +
                         "/MaxHeaderBytes=" + std::to_string(c.limits.max_header_bytes) +
                         " and could not be inspected in full"),
                std::string::npos)
          << log;
    } else {
      EXPECT_EQ(recorder.last().headers.size(), c.stored);
      EXPECT_EQ(log.find("header limit"), std::string::npos) << log;
    }
    // The next message on the connection is taken normally.
    ASSERT_EQ(client.header("From", "a@example.org"), test::Replies{packet('c')});
    EXPECT_EQ(client.end_of_message(), test::Replies{packet('c')});
    EXPECT_EQ(recorder.last().headers.size(), 1u);
  }
}

} // namespace
} // namespace corvane::milter
