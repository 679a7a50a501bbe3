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

// Every byte value as a lone byte: ASCII is a sequence of its own, nothing
// from 0x80 up is.
TEST(EscapeJson, LoneBytes) {
  for (int value = 0; value < 256; ++value) {
    const char byte = static_cast<char>(value);
    std::pmr::string out;
    escape_json(std::string_view(&byte, 1), out);
    if (value >= 0x80)
      EXPECT_EQ(std::string_view(out), "\\ufffd") << value;
    else if (value >= 0x20 && value != '"' && value != '\\')
      EXPECT_EQ(std::string_view(out), std::string(1, byte)) << value;
    else
      EXPECT_EQ(out.front(), '\\') << value;
  }
}

TEST(EventJson, RecordsAreExact) {
  for (const auto &c : test::event_cases()) {
    SCOPED_TRACE(c.name);
    auto json = format_event_json(c.event, std::pmr::get_default_resource());
    ASSERT_TRUE(json);
    EXPECT_EQ(std::string_view(*json), c.json);
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
