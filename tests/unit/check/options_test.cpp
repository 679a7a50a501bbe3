#include "check/options.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane::check {
namespace {

using Args = std::vector<std::string_view>;

// The message of an argument error, "usage", or "ok".
std::string outcome_of(const Args &args) {
  const auto outcome = read_options(args);
  if (std::holds_alternative<ShowUsage>(outcome)) return "usage";
  if (const auto *error = std::get_if<ArgumentError>(&outcome)) return std::string(error->message);
  return "ok";
}

CheckOptions options_of(const Args &args) {
  const auto outcome = read_options(args);
  EXPECT_TRUE(std::holds_alternative<CheckOptions>(outcome));
  return std::get<CheckOptions>(outcome);
}

// The messages themselves are checked on the built tool; these are the
// reading rules around them.
TEST(CheckOptions, ArgumentOutcomes) {
  struct Case {
    Args args;
    std::string outcome;
  };
  const Case cases[] = {
      {{"--from", "example.org", "-h"}, "usage"},
      {{"-h", "--bogus"}, "usage"},
      {{"--help"}, "usage"},
      {{"-H"}, "unknown argument"},
      {{"--FROM", "x"}, "unknown argument"},
      {{"--from=example.org"}, "unknown argument"},
      {{"example.org"}, "unknown argument"},
      // A value is taken whole, even when it looks like an option.
      {{"--from", "-h"}, "ok"},
      // The Author Domain is never empty.
      {{"--from", ""}, "--from needs a value"},
      {{"--from", "x", "--from", ""}, "--from needs a value"},
      {{"--from", "x", "-p", ""}, "invalid port"},
      {{"--from", "x", "-p", "53 "}, "invalid port"},
      {{"--from", "x", "-p", "0x35"}, "invalid port"},
      {{"--from", "x", "-m", "-5"}, "-m must be 0 (disabled) or a positive number of milliseconds"},
      {{"--from", "x", "-m", ""}, "-m must be a number of milliseconds"},
      {{"--from", "x", "-m", "9223372036854775808"}, "-m must be a number of milliseconds"},
      // An error ends the reading before a later -h.
      {{"-p", "x", "-h"}, "invalid port"},
      // --from is checked before the nameserver.
      {{"-n", "localhost"}, "--from is required (see -h)"},
      {{"--from", "x", "-n", "192.0.2.053"}, "DNS resolver: invalid nameserver address"},
      {{"--from", "x", "-n", "192.0.2.1:53"}, "DNS resolver: invalid nameserver address"},
      {{"--from", "x", "-n", ""}, "DNS resolver: invalid nameserver address"},
      {{"--from", "x", "-n", "fe80::1%eth0"}, "DNS resolver: invalid nameserver address"},
      {{"--from", "x", "-n", "::1"}, "ok"},
      {{"--from", "x", "-n", "::ffff:192.0.2.1"}, "ok"},
      {{"--from", "x", "-n", "0000:0000:0000:0000:0000:ffff:255.255.255.255"}, "ok"},
      {{"--from", "x", "-n", "0000:0000:0000:0000:0000:ffff:255.255.255.255 "},
       "DNS resolver: invalid nameserver address"},
  };
  for (const auto &c : cases) {
    std::string joined;
    for (const auto arg : c.args)
      joined.append(arg).append(" ");
    EXPECT_EQ(outcome_of(c.args), c.outcome) << joined;
  }
}

TEST(CheckOptions, ValuesAndDefaults) {
  const auto defaults = options_of({"--from", "Example.ORG"});
  EXPECT_EQ(defaults.from, "Example.ORG");
  EXPECT_FALSE(defaults.mailfrom);
  EXPECT_EQ(defaults.spf, "none");
  EXPECT_FALSE(defaults.dkim);
  EXPECT_EQ(defaults.dkim_result, "none");
  EXPECT_FALSE(defaults.psl);
  EXPECT_EQ(defaults.nameserver, "127.0.0.1");
  EXPECT_EQ(defaults.port, 53);
  EXPECT_EQ(defaults.budget_ms, 20000);

  // The last occurrence wins.
  const auto set = options_of({"--from", "a.example", "--mailfrom", "m.example",     "--spf",
                               "pass",   "--dkim",    "d.example",  "--dkim-result", "fail",
                               "--psl",  "list",      "-n",         "::1",           "-p",
                               "5_3",    "-m",        "0",          "--from",        "b.example",
                               "-p",     "-0",        "--spf",      "PASS"});
  EXPECT_EQ(set.from, "b.example");
  EXPECT_EQ(set.mailfrom, "m.example");
  EXPECT_EQ(set.spf, "PASS");
  EXPECT_EQ(set.dkim, "d.example");
  EXPECT_EQ(set.dkim_result, "fail");
  EXPECT_EQ(set.psl, "list");
  EXPECT_EQ(set.nameserver, "::1");
  EXPECT_EQ(set.port, 0);
  EXPECT_EQ(set.budget_ms, 0);

  EXPECT_EQ(options_of({"--from", "x", "-p", "5_3"}).port, 53);
  EXPECT_EQ(options_of({"--from", "x", "-p", "+65535"}).port, 65535);
  EXPECT_EQ(options_of({"--from", "x", "-m", "-0"}).budget_ms, 0);
  EXPECT_EQ(options_of({"--from", "x", "-m", "+1_000"}).budget_ms, 1000);
}

} // namespace
} // namespace corvane::check
