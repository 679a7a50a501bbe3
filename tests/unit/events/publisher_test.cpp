#include "events/event_publisher.hpp"
#include "support/dns_test_socket.hpp"
#include "support/process_runner.hpp"
#include "unit/dns/limited_resource.hpp"
#include "unit/events/escape_cases.hpp"
#include "unit/events/event_cases.hpp"
#include "unit/events/test_subscriber.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <future>
#include <set>
#include <thread>

namespace corvane::events {
namespace {

using namespace std::chrono_literals;
using test::open_descriptors;
using test::TestSubscriber;

constexpr std::string_view k_topic = "dmarc.evaluation";

// A publisher is set up once per thread, from the settings installed at that
// moment: every case runs on a thread of its own.
template <typename Body> void on_new_thread(Body body) {
  std::thread thread(body);
  thread.join();
}

EvaluationEvent marker(std::string_view tag) {
  EvaluationEvent event;
  event.client_ip = tag;
  return event;
}

// This thread's publisher, paired with the subscriber.
class Wire : public test::FrameWire {
public:
  explicit Wire(TestSubscriber &subscriber)
      : test::FrameWire(subscriber, [](const std::string &tag) { publish_event(marker(tag)); }) {}
};

std::string frame_of(std::string_view json) {
  return std::string(k_topic) + " " + std::string(json);
}

TEST(EventPublisher, EachEventIsOneFrameOfTopicSpaceJson) {
  TestSubscriber subscriber;
  install_event_settings(subscriber.endpoint(), k_topic);
  on_new_thread([&] {
    Wire wire(subscriber);
    ASSERT_TRUE(wire.join());
    std::vector<std::string> expected;
    for (const auto &c : test::event_cases()) {
      publish_event(c.event);
      expected.push_back(frame_of(c.json));
    }
    EXPECT_EQ(wire.frames_until_fence(), expected);

    // A record that cannot be built for lack of memory is dropped.
    test::LimitedResource none(0);
    publish_event(test::event_cases().front().event, &none);
    EXPECT_TRUE(wire.frames_until_fence().empty());
  });
}

// Hands every record to python3's json module, which refuses invalid UTF-8
// and raw control characters, and checks the key order and that the From
// address decodes to the original text with each stray byte as U+FFFD.
std::vector<std::string> strict_json_verdicts(const std::vector<std::string> &raw_values,
                                              const std::vector<std::string> &records) {
  static const char *script = R"(
import json, sys
KEYS = ['client_ip', 'header_from', 'from_address', 'envelope_from', 'policy',
        'disposition', 'dmarc_result', 'spf_result', 'spf_aligned', 'dkim_result',
        'dkim_domain', 'dkim_aligned']
for line in sys.stdin.buffer.read().split(b'\n'):
    if not line:
        continue
    raw_hex, _, record = line.partition(b' ')
    raw = bytes.fromhex(raw_hex.decode())
    # surrogateescape maps each undecodable byte to a surrogate of its own.
    expected = ''.join('\ufffd' if 0xdc80 <= ord(c) <= 0xdcff else c
                       for c in raw.decode('utf-8', 'surrogateescape'))
    try:
        pairs = json.loads(record.decode('utf-8'), object_pairs_hook=lambda p: p)
    except ValueError as error:
        print('invalid', error)
        continue
    keys = [k for k, _ in pairs]
    value = dict(pairs)['from_address']
    print('ok' if keys == KEYS and value == expected else 'bad ' + ascii(pairs))
)";
  std::string input;
  for (std::size_t i = 0; i < records.size(); ++i) {
    static const char hex[] = "0123456789abcdef";
    for (const unsigned char byte : raw_values[i]) {
      input += hex[byte >> 4];
      input += hex[byte & 0x0F];
    }
    input += ' ' + records[i] + '\n';
  }
  const auto run = test::run_process({"/usr/bin/env", {"python3", "-c", script}, input, 20s});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  std::vector<std::string> verdicts;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);)
    verdicts.push_back(line);
  return verdicts;
}

TEST(EventPublisher, EscapedFromAddressesArriveAsStrictJson) {
  TestSubscriber subscriber;
  install_event_settings(subscriber.endpoint(), k_topic);
  const auto cases = test::escape_cases();
  std::vector<std::string> frames;
  on_new_thread([&] {
    Wire wire(subscriber);
    ASSERT_TRUE(wire.join());
    for (const auto &c : cases) {
      EvaluationEvent event;
      event.from_address = c.raw;
      publish_event(event);
    }
    frames = wire.frames_until_fence();
  });
  ASSERT_EQ(frames.size(), cases.size());
  std::vector<std::string> raw_values;
  std::vector<std::string> records;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string expected_prefix =
        frame_of(R"({"client_ip":"","header_from":"","from_address":")" + cases[i].escaped + "\",");
    EXPECT_TRUE(frames[i].starts_with(expected_prefix)) << cases[i].name << ": " << frames[i];
    raw_values.push_back(cases[i].raw);
    records.push_back(frames[i].substr(k_topic.size() + 1));
  }
  const auto verdicts = strict_json_verdicts(raw_values, records);
  ASSERT_EQ(verdicts.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(verdicts[i], "ok") << cases[i].name;
}

TEST(EventPublisher, BracketedIpv6EndpointIsReached) {
  TestSubscriber subscriber("[::1]");
  install_event_settings(subscriber.endpoint(), "corvane.test");
  on_new_thread([&] {
    Wire wire(subscriber);
    ASSERT_TRUE(wire.join());
    EXPECT_EQ(thread_event_publisher().topic(), "corvane.test");
    publish_event(marker("v6"));
    const auto frames = wire.frames_until_fence();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].starts_with("corvane.test {\"client_ip\":\"v6\",")) << frames[0];
  });
}

// A port on which nothing listens.
std::string closed_endpoint() {
  const int fd = test::bound_test_socket(test::test_address("127.0.0.1", 0), SOCK_STREAM);
  const std::uint16_t port = test::bound_port(fd);
  ::close(fd);
  return "tcp://127.0.0.1:" + std::to_string(port);
}

// The socket connects in the background and drops what its queue cannot
// hold, so publishing to a peer that is not there never waits. The time limit
// only stops a publisher that blocks from hanging the test run.
TEST(EventPublisher, UnreachableEndpointNeverHoldsThePublisher) {
  install_event_settings(closed_endpoint(), k_topic);
  auto published = std::async(std::launch::async, [] {
    for (int i = 0; i < 3 * k_send_high_water_mark; ++i)
      publish_event(marker("nobody"));
    return thread_event_publisher().has_socket();
  });
  ASSERT_EQ(published.wait_for(30s), std::future_status::ready);
  EXPECT_TRUE(published.get());
}

TEST(EventPublisher, SetUpOutcomes) {
  const std::string inproc = "inproc://";
  struct Case {
    std::string name;
    std::optional<std::string> endpoint;
    bool socket;
  };
  const std::vector<Case> cases = {
      {"unset", std::nullopt, false},
      {"no_port", "tcp://127.0.0.1", false},
      {"not_an_endpoint", "events.example.org:5555", false},
      {"unknown_transport", "carrier-pigeon://loft", false},
      {"nul_inside", std::string("inproc://a\0b", 12), false},
      {"longest_accepted", inproc + std::string(k_max_endpoint_length - inproc.size(), 'x'), true},
      {"one_byte_too_long", inproc + std::string(k_max_endpoint_length + 1 - inproc.size(), 'x'),
       false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    install_event_settings(c.endpoint, "t");
    on_new_thread([&] {
      EventPublisher &publisher = thread_event_publisher();
      EXPECT_TRUE(publisher.is_set_up());
      EXPECT_EQ(publisher.has_socket(), c.socket);
      EXPECT_EQ(publisher.topic(), "t");
      publish_event(marker("dropped")); // a silent no-op without a socket
      EXPECT_EQ(&thread_event_publisher(), &publisher);
      EXPECT_EQ(thread_event_publisher().has_socket(), c.socket);
    });
  }
}

TEST(EventPublisher, EveryThreadHasItsOwnPublisher) {
  TestSubscriber subscriber;
  install_event_settings(subscriber.endpoint(), k_topic);
  std::atomic<bool> heard_both{false};
  std::atomic<const EventPublisher *> publishers[2] = {nullptr, nullptr};
  const auto publish_until_heard = [&](int index) {
    const std::string tag = "thread-" + std::to_string(index);
    publishers[index] = &thread_event_publisher();
    for (int i = 0; i < 1000 && !heard_both; ++i) {
      publish_event(marker(tag));
      std::this_thread::sleep_for(10ms);
    }
  };
  std::thread first(publish_until_heard, 0);
  std::thread second(publish_until_heard, 1);
  std::set<std::string> heard;
  while (heard.size() < 2) {
    const auto frame = subscriber.receive(10s);
    if (!frame) break;
    for (const char *tag : {"thread-0", "thread-1"})
      if (frame->find(tag) != std::string::npos) heard.insert(tag);
  }
  heard_both = true;
  first.join();
  second.join();
  EXPECT_EQ(heard.size(), 2u);
  EXPECT_NE(publishers[0].load(), publishers[1].load());
}

// The context and the socket of a thread are released when the thread ends.
TEST(EventPublisher, ThreadExitReleasesContextAndSocket) {
  install_event_settings(closed_endpoint(), k_topic);
  const std::size_t before = open_descriptors();
  on_new_thread([] {
    publish_event(marker("gone"));
    EXPECT_TRUE(thread_event_publisher().has_socket());
    EXPECT_GT(open_descriptors(), 0u);
  });
  EXPECT_EQ(open_descriptors(), before);
}

} // namespace
} // namespace corvane::events
