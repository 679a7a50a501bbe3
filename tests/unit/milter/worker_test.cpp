// The worker loop: connection limits, replies held for an MTA that stops
// reading, draining, listeners shared between workers, reloads.
#include "log/log.hpp"
#include "milter/modification.hpp"
#include "milter/worker_pool.hpp"
#include "support/listener_config.hpp"
#include "support/milter_client.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"
#include "support/wait_until.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <numeric>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace corvane::milter {
namespace {

using namespace std::chrono_literals;
using test::MilterClient;
using test::MilterPacket;
using test::wait_until;

struct Pool {
  Pool(WorkerPoolSettings settings, std::size_t workers = 1) : pool(workers) {
    if (settings.listeners.empty()) settings.listeners.push_back(test::loopback_listener());
    listeners = settings.listeners;
    const auto started = pool.start(settings);
    if (!started) ADD_FAILURE() << error_name(started.error());
  }
  MilterClient tcp(test::MilterClientOptions options = {}) const {
    return MilterClient::open_tcp("127.0.0.1", listeners[0].address.port, options);
  }

  std::vector<config::ListenerConfig> listeners;
  WorkerPool pool;
};

test::Replies continued() { return {MilterPacket{'c', {}}}; }
test::Replies accepted() { return {MilterPacket{'a', {}}}; }

// The counts of the "refused N connection(s)..." lines, in order.
std::vector<int> refusal_counts(const std::string &log, const std::string &rest) {
  std::vector<int> counts;
  const std::regex line("refused ([0-9]+) " +
                        std::regex_replace(rest, std::regex(R"([()])"), R"(\$&)"));
  for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator();
       ++it)
    counts.push_back(std::stoi((*it)[1]));
  return counts;
}

TEST(WorkerTest, MaxConnectionsRefusesAndCountsOncePerSecond) {
  for (const std::uint32_t limit : {0u, 2u}) {
    SCOPED_TRACE(limit);
    test::StderrCapture capture;
    WorkerPoolSettings settings;
    settings.max_connections = limit;
    Pool pool(settings);
    std::vector<MilterClient> kept;
    for (std::uint32_t i = 0; i < limit; ++i) {
      kept.push_back(pool.tcp());
      EXPECT_EQ(kept.back().helo("a"), continued());
    }
    // Six refusals within one second give one line; the count carries on
    // into the next line, written once a second has passed.
    for (int i = 0; i < 6; ++i)
      EXPECT_TRUE(pool.tcp().closed_within(2s));
    const std::string line =
        "connection(s): worker 0 is at MaxConnections=" + std::to_string(limit);
    EXPECT_TRUE(wait_until([&] { return refusal_counts(capture.text(), line).size() == 1; }));
    std::this_thread::sleep_for(1100ms);
    EXPECT_TRUE(pool.tcp().closed_within(2s));
    EXPECT_TRUE(wait_until([&] { return refusal_counts(capture.text(), line).size() == 2; }));
    const auto counts = refusal_counts(capture.text(), line);
    EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), 0), 7) << capture.text();
  }
}

// The end-of-message hook queues `size` bytes of replies (length prefixes
// included) before the engine adds its own 5-byte answer.
MilterHooks hooks_queueing(std::atomic<std::size_t> &size, std::atomic<std::size_t> &capacity) {
  MilterHooks hooks;
  hooks.eom = [&size](MilterSession &session) {
    std::size_t left = size.load();
    while (left > 0) {
      const std::size_t packet = std::min<std::size_t>(left, 60'000);
      // a 'p' packet of packet - 4 bytes: 4 + 1 + (packet - 5)
      EXPECT_TRUE(session.output.queue_reply("p" + std::string(packet - 5, 'x')));
      left -= packet;
    }
    return 'c';
  };
  // The kernel's own buffers must not take all the replies: the filter's
  // send buffer is made small.
  hooks.helo = [&capacity](MilterSession &session, std::string_view) {
    capacity = session.output.capacity();
    const int small = 4096;
    ::setsockopt(session.socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    return 'c';
  };
  return hooks;
}

TEST(WorkerTest, RepliesWaitForAnMtaThatStopsReading) {
  std::atomic<std::size_t> queued{0};
  std::atomic<std::size_t> capacity{0};
  WorkerPoolSettings settings;
  settings.hooks = hooks_queueing(queued, capacity);
  Pool pool(settings);
  test::StderrCapture capture;

  // 262,139 bytes of the hook and the engine's 5: exactly the limit, held.
  queued = 262'139;
  auto slow = pool.tcp({5s, 4096});
  slow.macros('C', {{"{daemon_name}", "mta"}});
  ASSERT_EQ(slow.helo("x"), continued());
  slow.send_packet(test::end_of_message_packet());
  EXPECT_TRUE(wait_until([&] { return capture.text().find("holding ") != std::string::npos; }));
  EXPECT_NE(capture.text().find("bytes of replies for mta[127.0.0.1]: peer is not reading, will "
                                "resume when it does"),
            std::string::npos)
      << capture.text();
  // Everything arrives in order once the MTA reads again.
  const auto replies = slow.read_replies(5s);
  std::size_t bytes = 0;
  for (const auto &reply : replies)
    bytes += 5 + reply.payload.size();
  EXPECT_EQ(bytes, 262'144u);
  EXPECT_EQ(replies.back(), (MilterPacket{'c', {}}));
  // The buffer that grew for them is given back; the connection goes on.
  queued = 0;
  EXPECT_EQ(slow.helo("x"), continued());
  EXPECT_LE(capacity.load(), k_kept_output_capacity);

  // One byte more and the MTA is dropped.
  queued = 262'140;
  auto stuck = pool.tcp({5s, 4096});
  stuck.macros('C', {{"{daemon_name}", "mta"}});
  ASSERT_EQ(stuck.helo("x"), continued());
  stuck.send_packet(test::end_of_message_packet());
  EXPECT_TRUE(wait_until([&] {
    return capture.text().find("dropping connection from mta[127.0.0.1]: 262140 bytes of replies "
                               "unread, output queue full") != std::string::npos;
  })) << capture.text();
}

TEST(WorkerTest, DrainServesOpenConnectionsAndClosesIdleOnesAtTheDeadline) {
  test::StderrCapture capture;
  WorkerPoolSettings settings;
  settings.drain_timeout_ms = 600;
  const test::TempDir dir;
  const std::string path = dir.file("drain.sock");
  settings.listeners = {test::loopback_listener(), test::unix_listener(path)};
  Pool pool(settings);
  auto busy = pool.tcp();
  auto idle = MilterClient::open_unix(path);
  ASSERT_EQ(busy.helo("a"), continued());
  ASSERT_EQ(idle.helo("a"), continued());

  pool.pool.begin_shutdown();
  // The path goes at once; the connection in the middle of a message is still
  // served.
  EXPECT_TRUE(wait_until([&] { return ::access(path.c_str(), F_OK) != 0; }));
  EXPECT_THROW(MilterClient::open_unix(path), std::runtime_error);
  EXPECT_EQ(busy.header("From", "a@example.org"), continued());
  EXPECT_EQ(busy.end_of_message(), accepted());
  EXPECT_TRUE(idle.closed_within(3s));
  EXPECT_TRUE(busy.closed_within(1s));
  pool.pool.shutdown();
  EXPECT_NE(capture.text().find("drain timeout, closing 2 remaining connections"),
            std::string::npos)
      << capture.text();
}

TEST(WorkerTest, DrainEndsAsSoonAsTheLastConnectionQuits) {
  WorkerPoolSettings settings;
  Pool pool(settings);
  auto client = pool.tcp();
  ASSERT_EQ(client.helo("a"), continued());
  pool.pool.begin_shutdown();
  client.quit();
  const auto started = std::chrono::steady_clock::now();
  pool.pool.shutdown();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

// Two workers on one inet port and one unix path: both accept.
TEST(WorkerTest, WorkersShareListeners) {
  std::mutex mutex;
  std::set<std::thread::id> threads;
  WorkerPoolSettings settings;
  settings.hooks.helo = [&](MilterSession &, std::string_view) {
    const std::lock_guard guard(mutex);
    threads.insert(std::this_thread::get_id());
    return 'c';
  };
  // A worker busy in a hook cannot accept: the other one must.
  std::atomic<bool> release{false};
  settings.hooks.eom = [&](MilterSession &) {
    while (!release)
      std::this_thread::sleep_for(1ms);
    return 'c';
  };
  const test::TempDir dir;
  const std::string path = dir.file("shared.sock");
  settings.listeners = {test::loopback_listener(), test::unix_listener(path)};
  Pool pool(settings, 2);

  for (int i = 0; i < 32; ++i)
    ASSERT_EQ(pool.tcp().helo("a"), continued());
  {
    const std::lock_guard guard(mutex);
    EXPECT_EQ(threads.size(), 2u);
  }

  auto blocker = MilterClient::open_unix(path);
  ASSERT_EQ(blocker.helo("a"), continued());
  blocker.send_packet(test::end_of_message_packet());
  std::this_thread::sleep_for(50ms);
  auto other = MilterClient::open_unix(path);
  EXPECT_EQ(other.helo("b"), continued());
  release = true;
  EXPECT_EQ(blocker.read_replies(), continued());
}

TEST(WorkerTest, ReloadRunsTheHookOncePerNewGeneration) {
  std::atomic<int> reloads{0};
  WorkerPoolSettings settings;
  settings.hooks.reload = [&] { ++reloads; };
  Pool pool(settings, 2);
  EXPECT_EQ(pool.pool.reload(), 1u);
  EXPECT_TRUE(wait_until([&] { return reloads == 2; }));
  EXPECT_EQ(pool.pool.generations().acknowledged(0), 1u);
  EXPECT_EQ(pool.pool.generations().acknowledged(1), 1u);
  pool.pool.reload();
  EXPECT_EQ(pool.pool.reload(), 3u);
  EXPECT_TRUE(wait_until([&] {
    return pool.pool.generations().acknowledged(0) == 3 &&
           pool.pool.generations().acknowledged(1) == 3 && reloads >= 4;
  }));
  // Two generations between wake-ups may run the hook once per worker.
  std::this_thread::sleep_for(50ms);
  EXPECT_LE(reloads.load(), 6);
}

TEST(WorkerTest, PeerLabels) {
  std::mutex mutex;
  std::vector<std::string> labels;
  WorkerPoolSettings settings;
  settings.hooks.helo = [&](MilterSession &session, std::string_view) {
    const std::lock_guard guard(mutex);
    labels.emplace_back(session.peer_label.view());
    return 'c';
  };
  config::ListenerConfig ipv6 = test::loopback_listener();
  ipv6.address.host = "::1";
  const test::TempDir dir;
  const std::string path = dir.file("label.sock");
  settings.listeners = {test::loopback_listener(), ipv6, test::unix_listener(path)};
  Pool pool(settings);
  EXPECT_EQ(pool.tcp().helo("a").size(), 1u);
  EXPECT_EQ(MilterClient::open_tcp("::1", pool.listeners[1].address.port).helo("a").size(), 1u);
  EXPECT_EQ(MilterClient::open_unix(path).helo("a").size(), 1u);
  const std::lock_guard guard(mutex);
  EXPECT_EQ(labels, (std::vector<std::string>{"127.0.0.1", "::1", "local"}));
}

} // namespace
} // namespace corvane::milter
