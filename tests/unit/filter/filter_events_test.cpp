// Evaluation events as an operator's subscriber receives them from a real
// worker: one frame per fully evaluated message, none for an early outcome,
// and a subscriber that is not there never holds a reply up.
#include "events/event_publisher.hpp"
#include "support/dns_server.hpp"
#include "support/listener_config.hpp"
#include "unit/events/test_subscriber.hpp"
#include "unit/filter/filter_daemon.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace corvane::test {
namespace {

using namespace std::chrono_literals;
using Header = std::pair<std::string, std::string>;

const Header k_from{"From", "Alice <alice@bank.example>"};
const Header k_spf_pass{"Authentication-Results",
                        "mx.example.net; spf=pass smtp.mailfrom=bank.example"};

std::string frame(const std::string &json) { return "dmarc.evaluation " + json; }

config::Config configuration() {
  config::Config config;
  config.authserv_id = "mx.example.net";
  config.listeners = {loopback_listener(config::Enforcement::reject)};
  return config;
}

// A fully evaluated message whose client_ip tells it apart.
TestMessage marked(const std::string &tag) {
  return {.client_addr = tag, .headers = {k_from, k_spf_pass}};
}

// The subscriber's side of a running filter: markers are fully evaluated
// messages told apart by their client address.
class EventWire : public FrameWire {
public:
  EventWire(const FilterDaemon &daemon, TestSubscriber &subscriber)
      : FrameWire(subscriber, [&daemon](const std::string &tag) { deliver(daemon, marked(tag)); }) {
  }
};

TEST(FilterEvents, OneFramePerFullyEvaluatedMessage) {
  TestSubscriber subscriber;
  events::install_event_settings(subscriber.endpoint(), "dmarc.evaluation");
  DnsServer dns;
  dns.answer("_dmarc.bank.example", txt_answer({"v=DMARC1; p=reject"}));
  dns.answer("_dmarc.broken.example", rcode_answer(2));
  const FilterDaemon daemon(configuration(), with_trusted_sealer("sealer.example"), dns.port());
  EventWire wire(daemon, subscriber);
  ASSERT_TRUE(wire.join());

  struct Case {
    std::string name;
    TestMessage message;
    std::vector<std::string> frames;
  };
  const std::vector<Case> cases{
      {"a pass by SPF alone",
       {.sender = "<bounce@bank.example>", .headers = {k_from, k_spf_pass}},
       {frame(R"({"client_ip":"192.0.2.10","header_from":"bank.example",)"
              R"("from_address":"alice@bank.example","envelope_from":"bank.example",)"
              R"("policy":"reject","disposition":"reject","dmarc_result":"pass",)"
              R"("spf_result":"pass","spf_aligned":true,"dkim_result":"none",)"
              R"("dkim_domain":"","dkim_aligned":false})")}},
      {"a fail with DKIM results and the null sender",
       {.sender = "<>",
        .headers = {k_from,
                    {"Authentication-Results", "mx.example.net; dkim=fail header.d=bank.example; "
                                               "dkim=pass header.d=other.example"}}},
       {frame(R"({"client_ip":"192.0.2.10","header_from":"bank.example",)"
              R"("from_address":"alice@bank.example","envelope_from":"",)"
              R"("policy":"reject","disposition":"reject","dmarc_result":"fail",)"
              R"("spf_result":"none","spf_aligned":false,"dkim_result":"fail",)"
              R"("dkim_domain":"bank.example","dkim_aligned":false})")}},
      {"a From address that needs escaping",
       {.client_addr = "192.0.2.\"11",
        .headers = {{"From", "<a\x01"
                             "b\\c\"d\x7f"
                             "@bank.example>"},
                    {"Authentication-Results", "mx.example.net; dkim=pass header.d=bank.example"}}},
       {frame(R"({"client_ip":"192.0.2.\"11","header_from":"bank.example",)"
              R"("from_address":"a\u0001b\\c\"d)"
              "\x7f"
              R"(@bank.example","envelope_from":"bank.example",)"
              R"("policy":"reject","disposition":"reject","dmarc_result":"pass",)"
              R"("spf_result":"none","spf_aligned":false,"dkim_result":"pass",)"
              R"("dkim_domain":"bank.example","dkim_aligned":true})")}},
      {"a rejection turned into a quarantine by a trusted sealer",
       {.headers = {k_from,
                    {"Authentication-Results", "mx.example.net; arc=pass"},
                    {"ARC-Authentication-Results",
                     "i=1; sealer.example; dkim=pass header.d=bank.example"}}},
       {frame(R"({"client_ip":"192.0.2.10","header_from":"bank.example",)"
              R"("from_address":"alice@bank.example","envelope_from":"bank.example",)"
              R"("policy":"reject","disposition":"reject","dmarc_result":"fail",)"
              R"("spf_result":"none","spf_aligned":false,"dkim_result":"none",)"
              R"("dkim_domain":"","dkim_aligned":false,"policy_override":"trusted_forwarder"})")}},
      {"no record", {.headers = {{"From", "a@norecord.example"}}}, {}},
      {"temperror", {.headers = {{"From", "a@broken.example"}}}, {}},
      {"two From headers", {.headers = {k_from, {"From", "b@bank.example"}}}, {}},
      {"two addresses in one From header",
       {.headers = {{"From", "<a@bank.example> <b@bank.example>"}, k_spf_pass}},
       {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    deliver(daemon, c.message);
    EXPECT_EQ(wire.frames_until_fence(), c.frames);
  }
}

// ZeroMQ reconnects in the background and the PUB socket drops what finds its
// queue full: more messages than its high-water mark all get their replies.
TEST(FilterEvents, AnUnreachableSubscriberNeverHoldsUpAReply) {
  events::install_event_settings("tcp://127.0.0.1:" + std::to_string(free_loopback_port()),
                                 "dmarc.evaluation");
  DnsServer dns;
  dns.answer("_dmarc.bank.example", txt_answer({"v=DMARC1; p=reject"}));
  const FilterDaemon daemon(configuration(), daemon::ReferenceData(), dns.port());
  MilterClient client = daemon.connect(0, {.timeout = 2s});
  send_message(client, marked("first"));
  const std::vector<MilterPacket> message{mail_packet("<alice@bank.example>"),
                                          header_packet(k_from.first, k_from.second),
                                          header_packet(k_spf_pass.first, k_spf_pass.second),
                                          end_of_headers_packet(), end_of_message_packet()};
  const Replies evaluated{
      insert_header("Authentication-Results",
                    "mx.example.net;\n\tdmarc=pass (p=reject) header.from=bank.example"),
      reply('c')};
  for (int i = 0; i < events::k_send_high_water_mark + 100; ++i) {
    ASSERT_TRUE(client.send_packets(message));
    for (int stage = 0; stage < 4; ++stage)
      ASSERT_EQ(client.read_replies(), Replies{reply('c')});
    ASSERT_EQ(client.read_replies(), evaluated) << "message " << i;
  }
}

} // namespace
} // namespace corvane::test
