#include "milter/output_queue.hpp"
#include "milter/packet.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace corvane::milter {
namespace {

// Each step queues one reply of `size` bytes; `unwritten` is the queue's
// unwritten byte count afterwards (length prefixes included).
struct QueueStep {
  std::size_t size;
  std::optional<Error> error;
  std::size_t unwritten;
};

struct QueueCase {
  const char *name;
  std::vector<QueueStep> steps;
};

TEST(OutputQueueTest, LimitsAreExact) {
  const std::vector<QueueCase> cases{
      {"a reply reaching exactly 262,144 bytes is accepted",
       {{262'140, std::nullopt, 262'144}, {0, Error::OutputQueueFull, 262'144}}},
      {"one byte more is refused and nothing is queued",
       {{100'000, std::nullopt, 100'004}, {162'137, Error::OutputQueueFull, 100'004}}},
      {"a packet of 1,048,576 bytes is not too large, but overfills the queue",
       {{1'048'576, Error::OutputQueueFull, 0}}},
      {"a packet of 1,048,577 bytes is too large", {{1'048'577, Error::PacketTooLarge, 0}}},
      {"small replies add their prefixes", {{1, std::nullopt, 5}, {12, std::nullopt, 21}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    OutputQueue queue(std::pmr::get_default_resource());
    for (const auto &step : c.steps) {
      const auto queued = queue.queue_reply(std::string(step.size, 'x'));
      if (step.error) {
        ASSERT_FALSE(queued);
        EXPECT_EQ(queued.error(), *step.error);
      } else {
        EXPECT_TRUE(queued);
      }
      EXPECT_EQ(queue.unwritten(), step.unwritten);
    }
  }
}

// Counts what the queue asks of its allocator.
class CountingResource final : public std::pmr::memory_resource {
public:
  std::size_t allocations = 0;

private:
  void *do_allocate(std::size_t bytes, std::size_t alignment) override {
    ++allocations;
    return std::pmr::new_delete_resource()->allocate(bytes, alignment);
  }
  void do_deallocate(void *p, std::size_t bytes, std::size_t alignment) override {
    std::pmr::new_delete_resource()->deallocate(p, bytes, alignment);
  }
  bool do_is_equal(const memory_resource &other) const noexcept override { return this == &other; }
};

// An MTA that stops reading makes the queue grow reply by reply: it must
// grow geometrically, not copy everything for every reply.
TEST(OutputQueueTest, GrowsGeometricallyWhileTheMtaIsNotReading) {
  CountingResource counting;
  OutputQueue queue(&counting);
  for (int i = 0; i < 50'000; ++i)
    ASSERT_TRUE(queue.queue_reply("c"));
  EXPECT_EQ(queue.unwritten(), 250'000u);
  EXPECT_LT(counting.allocations, 40u);
}

// Framing on the wire, and a large buffer given back once written while a
// small one is kept.
TEST(OutputQueueTest, WritesFramedPacketsAndReleasesLargeBuffers) {
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  OutputQueue queue(std::pmr::get_default_resource());
  ASSERT_TRUE(queue.queue_reply("c"));
  ASSERT_TRUE(queue.queue_reply(std::string("O\0\0\0\x06", 5)));
  EXPECT_EQ(queue.write_to(ends[0]).outcome, OutputQueue::Flush::done);
  char wire[32];
  ASSERT_EQ(::read(ends[1], wire, sizeof(wire)), 14);
  EXPECT_EQ(std::string(wire, 14), std::string("\0\0\0\x01"
                                               "c\0\0\0\x05O\0\0\0\x06",
                                               14));
  EXPECT_GT(queue.capacity(), 0u);

  ASSERT_TRUE(queue.queue_reply(std::string(20'000, 'b')));
  EXPECT_GT(queue.capacity(), k_kept_output_capacity);
  EXPECT_EQ(queue.write_to(ends[0]).outcome, OutputQueue::Flush::done);
  EXPECT_EQ(queue.capacity(), 0u);

  ::close(ends[1]);
  ASSERT_TRUE(queue.queue_reply("c"));
  const auto failed = queue.write_to(ends[0]);
  EXPECT_EQ(failed.outcome, OutputQueue::Flush::failed);
  EXPECT_EQ(failed.error, Error::BrokenPipe);
  ::close(ends[0]);
}

} // namespace
} // namespace corvane::milter
