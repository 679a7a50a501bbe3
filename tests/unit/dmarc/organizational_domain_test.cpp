#include "core/clock.hpp"
#include "dmarc/organizational_domain.hpp"
#include "log/log.hpp"
#include "support/scripted_lookup.hpp"
#include "support/stderr_capture.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane::dmarc {
namespace {

using test::ScriptedLookup;

struct Published {
  std::string name; // without "_dmarc."
  std::string text;
};

PublicSuffixList list_of(std::vector<std::string> rules) {
  PublicSuffixList list;
  for (const auto &rule : rules)
    add_rule(list.rules, rule);
  return list;
}

std::string org_domain_of(std::string_view domain, const std::vector<Published> &records,
                          const PublicSuffixList *psl = nullptr) {
  ScriptedLookup lookup;
  for (const auto &published : records)
    lookup.txt("_dmarc." + published.name, {published.text});
  auto walk = discover_policy(std::pmr::get_default_resource(), lookup, domain, k_no_deadline);
  EXPECT_TRUE(walk);
  return std::string(organizational_domain(*walk, psl));
}

TEST(OrganizationalDomain, RulesInOrder) {
  struct Case {
    std::string domain;
    std::vector<Published> records;
    std::string expected;
  };
  const Case cases[] = {
      // No records: the walked domain itself.
      {"a.b.example.com", {}, "a.b.example.com"},
      // Rule 4: the record with the fewest labels.
      {"a.b.example.com", {{"example.com", "v=DMARC1; p=none"}}, "example.com"},
      {"a.b.example.com",
       {{"b.example.com", "v=DMARC1; p=none"}, {"example.com", "v=DMARC1; p=none"}},
       "example.com"},
      {"a.b.example.com",
       {{"example.com", "v=DMARC1; p=none"}, {"com", "v=DMARC1; p=none"}},
       "com"},
      // Rule 1: psd=n names itself, even below a record with fewer labels.
      {"a.b.example.com",
       {{"b.example.com", "v=DMARC1; p=none; psd=n"}, {"com", "v=DMARC1; p=none"}},
       "b.example.com"},
      // Rule 2: one label below a psd=y record, taken from the walked domain.
      {"mail.example.com", {{"com", "v=DMARC1; p=none; psd=y"}}, "example.com"},
      {"x.mail.Example.com", {{"com", "v=DMARC1; psd=y"}}, "Example.com"},
      // A psd=y record at the walked domain stops the walk and is passed
      // over; rule 4 then picks the walked domain.
      {"example.com",
       {{"example.com", "v=DMARC1; p=none; psd=y"}, {"com", "v=DMARC1; p=none"}},
       "example.com"},
      // Case is kept from the walked domain; the rule 2 comparison ignores it.
      {"Example.COM", {{"example.com", "v=DMARC1; psd=y"}}, "Example.COM"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(org_domain_of(c.domain, c.records), c.expected) << c.domain;
}

TEST(OrganizationalDomain, PublicSuffixVeto) {
  log::install_log_settings(log::initial_log_settings()); // level info: warnings appear
  const auto psl = list_of({"com", "co.uk"});
  const std::vector<Published> both = {{"example.com", "v=DMARC1; p=none"},
                                       {"com", "v=DMARC1; p=none"}};
  {
    test::StderrCapture capture;
    EXPECT_EQ(org_domain_of("a.example.com", both, &psl), "example.com");
    EXPECT_NE(capture.text().find(
                  "tree walk selected public suffix com as organizational domain; overriding\n"),
              std::string::npos)
        << capture.text();
  }
  {
    // Case kept in the message; the list is asked without regard to case.
    test::StderrCapture capture;
    EXPECT_EQ(org_domain_of("Shop.CO.UK", {{"CO.UK", "v=DMARC1; p=none"}}, &psl), "Shop.CO.UK");
    EXPECT_NE(capture.text().find("public suffix CO.UK as organizational"), std::string::npos);
  }
  {
    // The walked domain is itself the public suffix: nothing below it.
    test::StderrCapture capture;
    EXPECT_EQ(org_domain_of("com", {{"com", "v=DMARC1; p=none"}}, &psl), "com");
  }
  {
    // Rules 1 and 2 and the no-record case are not subject to the veto.
    test::StderrCapture capture;
    EXPECT_EQ(org_domain_of("a.example.com", {{"com", "v=DMARC1; psd=n"}}, &psl), "com");
    EXPECT_EQ(org_domain_of("com", {}, &psl), "com");
    EXPECT_EQ(capture.text(), "");
  }
  EXPECT_EQ(org_domain_of("a.example.com", both, nullptr), "com");
}

} // namespace
} // namespace corvane::dmarc
