#include "core/unique_fd.hpp"
#include "platform/event_queue.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace corvane::platform {
namespace {

struct Pair {
  Pair() {
    int ends[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
    ours.reset(ends[0]);
    theirs.reset(ends[1]);
  }
  UniqueFd ours, theirs;
};

std::vector<ReadyEvent> wait_for(EventQueue &queue, int timeout_ms = 100) {
  auto events = queue.wait(timeout_ms);
  EXPECT_TRUE(events);
  return events ? std::vector<ReadyEvent>(events->begin(), events->end())
                : std::vector<ReadyEvent>{};
}

// Read interest is reported once per arrival, write interest once per arming,
// and the end of input is flagged.
TEST(EventQueueTest, EdgeTriggeredReadsOneShotWrites) {
  auto queue = EventQueue::create();
  ASSERT_TRUE(queue);
  Pair pair;
  queue->watch_read(pair.ours.get());
  EXPECT_TRUE(wait_for(*queue).empty());
  ASSERT_EQ(::write(pair.theirs.get(), "x", 1), 1);
  auto events = wait_for(*queue);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].fd, pair.ours.get());
  EXPECT_EQ(events[0].kind, Readiness::read);
  EXPECT_FALSE(events[0].end_of_input);
  // Not read, but reported once only.
  EXPECT_TRUE(wait_for(*queue).empty());
  char byte;
  ASSERT_EQ(::read(pair.ours.get(), &byte, 1), 1);

  queue->arm_write(pair.ours.get());
  events = wait_for(*queue);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0].kind, Readiness::write);
  ASSERT_TRUE(wait_for(*queue).empty()); // one-shot
  // Read interest survives the write report.
  ASSERT_EQ(::write(pair.theirs.get(), "y", 1), 1);
  events = wait_for(*queue);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, Readiness::read);

  pair.theirs.reset();
  events = wait_for(*queue);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].end_of_input);
}

// More changes than one batch holds: none is lost, and a forgotten
// descriptor reports nothing.
TEST(EventQueueTest, ChangesBeyondOneBatch) {
  auto queue = EventQueue::create();
  ASSERT_TRUE(queue);
  std::vector<Pair> pairs(2 * k_change_batch + 3);
  for (const auto &pair : pairs)
    queue->watch_read(pair.ours.get());
  EXPECT_LE(queue->pending_changes(), k_change_batch);
  queue->forget(pairs.back().ours.get());
  for (const auto &pair : pairs)
    ASSERT_EQ(::write(pair.theirs.get(), "x", 1), 1);
  std::size_t reported = 0;
  for (int round = 0; round < 10; ++round)
    for (const auto &event : wait_for(*queue, 20)) {
      EXPECT_NE(event.fd, pairs.back().ours.get());
      ++reported;
    }
  EXPECT_EQ(reported, pairs.size() - 1);
}

} // namespace
} // namespace corvane::platform
