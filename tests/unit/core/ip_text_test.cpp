#include "core/ip_text.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace corvane {
namespace {

TEST(Ipv4Text, DottedQuadWithoutLeadingZeros) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"127.0.0.1", true},  {"0.0.0.0", true},     {"255.255.255.255", true}, {"127.0.0.01", false},
      {"256.0.0.1", false}, {"1.2.3", false},      {"1.2.3.4.5", false},      {"1.2.3.4 ", false},
      {"", false},          {"1..2.3", false},     {"a.b.c.d", false},        {"1.2.3.", false},
      {".1.2.3", false},    {"1000.1.1.1", false}, {"+1.2.3.4", false},       {"localhost", false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(parse_ipv4_text(c.text).has_value(), c.valid) << c.text;
  EXPECT_EQ(*parse_ipv4_text("10.20.30.40"), (Ipv4Bytes{10, 20, 30, 40}));
}

TEST(Ipv6Text, TextFormsAgreeWithTheSystemParser) {
  struct Case {
    std::string text;
    bool valid;
  };
  const Case cases[] = {
      {"::1", true},
      {"::", true},
      {"2001:db8::1", true},
      {"2001:DB8:0:0:0:0:0:1", true},
      {"1:2:3:4:5:6:7:8", true},
      {"1:2:3:4:5:6:7::", true},
      {"::2:3:4:5:6:7:8", true},
      {"::ffff:192.0.2.1", true},
      {"1:2:3:4:5:6:1.2.3.4", true},
      {"0000:0000:0000:0000:0000:ffff:255.255.255.255", true},
      {"1:2:3:4:5:6:7:8:9", false},
      {"1:2:3:4:5:6:7", false},
      {"1::2::3", false},
      {":1:2:3:4:5:6:7", false},
      {"1:2:3:4:5:6:7:", false},
      {"12345::1", false},
      {"fe80::1%eth0", false},
      {"::ffff:192.0.2.01", false},
      {"1:2:3:4:5:6:7:1.2.3.4", false},
      {"::1.2.3.4:5", false},
      {"g::1", false},
      {"", false},
      {":", false},
      {":::", false},
      {"127.0.0.1", false},
  };
  for (const auto &c : cases) {
    const auto ours = parse_ipv6_text(c.text);
    EXPECT_EQ(ours.has_value(), c.valid) << c.text;
    in6_addr system{};
    if (ours) {
      ASSERT_EQ(inet_pton(AF_INET6, c.text.c_str(), &system), 1) << c.text;
      EXPECT_EQ(std::memcmp(ours->data(), &system, 16), 0) << c.text;
    }
  }
}

TEST(Ipv6Text, AtMostFortyFiveBytes) {
  const std::string longest = "0000:0000:0000:0000:0000:ffff:255.255.255.255";
  ASSERT_EQ(longest.size(), 45u);
  EXPECT_TRUE(parse_ipv6_text(longest));
  EXPECT_FALSE(parse_ipv6_text("0" + longest));
}

} // namespace
} // namespace corvane
