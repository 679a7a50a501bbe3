#include "filter/auth_results.hpp"
#include "unit/dmarc/failing_resource.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace corvane::filter {
namespace {

TEST(AuthservIdMatches, OnlyTheNameItselfFollowedBySeparatorClaimsIt) {
  struct Case {
    std::string_view value;
    bool trusted;
  };
  const Case cases[] = {
      {"mx.example.net; spf=pass smtp.mailfrom=a.example", true},
      {"MX.EXAMPLE.NET 1; spf=pass", true},
      {"mx.example.net;spf=pass", true},
      {" \t\r\n\v\fmx.example.net\t; spf=pass", true},
      {"mx.example.net", true},
      {"mx.example.net.evil; spf=pass", false},
      {"mx.example.netx; spf=pass", false},
      {"mx.example.net\r\n\t; spf=pass", false},
      {"mx.example.net\n; spf=pass", false},
      {"mx.example.ne", false},
      {"xmx.example.net; spf=pass", false},
      {"", false},
  };
  for (const Case &c : cases)
    EXPECT_EQ(authserv_id_matches(c.value, "mx.example.net"), c.trusted) << c.value;
}

struct Entry {
  std::string method;
  std::string result;
  std::string properties;
  bool operator==(const Entry &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Entry &e) {
  return out << "{" << e.method << "|" << e.result << "|" << e.properties << "}";
}

TEST(ParseAuthResults, EntriesAndAuthservId) {
  struct Case {
    std::string_view value;
    std::string_view authserv_id;
    std::vector<Entry> entries;
  };
  const Case cases[] = {
      {"mx.example.net; spf=pass smtp.mailfrom=a@b.example",
       "mx.example.net",
       {{"spf", "pass", " smtp.mailfrom=a@b.example"}}},
      // A version number after the name is part of the authserv-id.
      {"  mx.example.net 1 ;dkim=fail", "mx.example.net 1", {{"dkim", "fail", ""}}},
      {"mx.example.net", "mx.example.net", {}},
      {"mx; none", "mx", {}},
      {"mx;", "mx", {}},
      // Empty method, empty result and a lone comment are skipped; spaces
      // around "=" are allowed.
      {"mx; =pass; spf = pass; dkim=; arc= (why) ; (only a comment) ; ;",
       "mx",
       {{"spf", "pass", ""}}},
      // ";" inside a comment or a quoted string does not split entries.
      {"mx; dkim=pass (good; sig=ok) header.d=example.org header.s=sel; spf=fail",
       "mx",
       {{"dkim", "pass", " (good; sig=ok) header.d=example.org header.s=sel"},
        {"spf", "fail", ""}}},
      {"mx; dkim=pass header.b=\"a;b\\\";c\"; spf=none",
       "mx",
       {{"dkim", "pass", " header.b=\"a;b\\\";c\""}, {"spf", "none", ""}}},
      // The authserv-id ends at the first ";" wherever it is; the result list
      // starts after the first ";" outside comments.
      {"mx (note; x); spf=pass", "mx (note", {{"spf", "pass", ""}}},
      // Comments before the result are skipped; a comment inside the method
      // stays part of it.
      {"mx; spf= (why)\r\n\tpass", "mx", {{"spf", "pass", ""}}},
      {"mx; (c) spf (d) = pass", "mx", {{"spf (d)", "pass", ""}}},
      // The result ends at "(" or white space and takes a quoted string whole.
      {"mx; spf=pass(ok) x=y", "mx", {{"spf", "pass", "(ok) x=y"}}},
      {"mx; x=\"a b\"c rest", "mx", {{"x", "\"a b\"c", " rest"}}},
      {"mx; x=a\vb c", "mx", {{"x", "a\vb", " c"}}},
      // Unterminated forms run to the end of the value.
      {"mx; spf=pass (open; dkim=pass", "mx", {{"spf", "pass", " (open; dkim=pass"}}},
      {"mx; spf=\"open; dkim=pass", "mx", {{"spf", "\"open; dkim=pass", ""}}},
      {"mx; dkim=pass (a (nested; x) \\) y; z) header.d=x.example",
       "mx",
       {{"dkim", "pass", " (a (nested; x) \\) y; z) header.d=x.example"}}},
  };
  for (const Case &c : cases) {
    const auto parsed = parse_auth_results(c.value, std::pmr::get_default_resource());
    ASSERT_TRUE(parsed) << c.value;
    EXPECT_EQ(parsed->authserv_id, c.authserv_id) << c.value;
    std::vector<Entry> entries;
    for (const ResInfo &r : parsed->results)
      entries.push_back({std::string(r.method), std::string(r.result), std::string(r.properties)});
    EXPECT_EQ(entries, c.entries) << c.value;
  }
}

TEST(ParseAuthResults, FailsOnlyForLackOfMemory) {
  test::FailingResource none(0);
  const auto failed = parse_auth_results("mx; spf=pass; dkim=pass", &none);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), Error::OutOfMemory);
  const auto nothing_to_store = parse_auth_results("mx; none", &none);
  EXPECT_TRUE(nothing_to_store);
}

TEST(FindProperty, FirstMatchingTokenOutsideComments) {
  struct Case {
    std::string_view properties;
    std::string_view name;
    std::optional<std::string_view> value;
  };
  const Case cases[] = {
      {" header.d=example.org header.s=sel", "header.d", "example.org"},
      {" header.s=sel header.d=example.org", "header.d", "example.org"},
      {" (signed; header.d=evil.example) header.d=example.org", "header.d", "example.org"},
      {"\r\n\t HEADER.D=Example.ORG", "header.d", "Example.ORG"},
      {" header.d=\"example.org\"", "header.d", "\"example.org\""},
      {" header.d=example.org(comment) x=y", "header.d", "example.org"},
      {" x=\"a b header.d=evil.example\" header.d=ok.example", "header.d", "ok.example"},
      {" header.d=a=b", "header.d", "a=b"},
      {" header.i=@example.org header.d=example.org", "header.d", "example.org"},
      // "=" must lie after the first byte and before the last.
      {" header.d= example.org", "header.d", std::nullopt},
      {" =header.d=x", "header.d", std::nullopt},
      {" header.dd=x header.=y", "header.d", std::nullopt},
      {" (header.d=x)", "header.d", std::nullopt},
      {" (unterminated header.d=x", "header.d", std::nullopt},
      {"", "header.d", std::nullopt},
      {" policy.dkim-rules=testing-key", "policy.dkim-rules", "testing-key"},
  };
  for (const Case &c : cases) {
    const ResInfo entry{"dkim", "pass", c.properties};
    EXPECT_EQ(find_property(entry, c.name), c.value) << c.properties;
  }
}

} // namespace
} // namespace corvane::filter
