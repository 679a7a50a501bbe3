#include "events/event_json.hpp"
#include "events/json_escape.hpp"
#include "unit/dns/limited_resource.hpp"
#include "unit/events/escape_cases.hpp"
#include "unit/events/event_cases.hpp"

#include <gtest/gtest.h>

namespace corvane::events {
namespace {

TEST(EscapeJson, WritesEachCaseExactly) {
  for (const auto &c : test::escape_cases()) {
    SCOPED_TRACE(c.name);
    std::pmr::string out("prefix:");
    escape_json(c.raw, out);
    EXPECT_EQ(std::string_view(out), "prefix:" + c.escaped);
    EXPECT_EQ(escaped_json_length(c.raw), c.escaped.size());
  }
}

// The record is measured first and allocated once, so an arena that allows a
// single allocation is enough, and one that allows none gets OutOfMemory.
TEST(EventJson, OneAllocation) {
  test::LimitedResource one(1);
  EXPECT_TRUE(format_event_json(test::event_cases().front().event, &one));
}

TEST(EventJson, OutOfMemoryIsReportedAndLeavesNothing) {
  test::LimitedResource none(0);
  auto json = format_event_json(test::event_cases().front().event, &none);
  ASSERT_FALSE(json);
  EXPECT_EQ(json.error(), Error::OutOfMemory);
  EXPECT_EQ(none.outstanding(), 0);
}

} // namespace
} // namespace corvane::events
