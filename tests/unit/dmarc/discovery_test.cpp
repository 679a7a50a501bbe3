#include "core/clock.hpp"
#include "dmarc/discovery.hpp"
#include "dmarc/labels.hpp"
#include "support/scripted_lookup.hpp"
#include "unit/dmarc/failing_resource.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane::dmarc {
namespace {

using test::ScriptedLookup;
using Names = std::vector<std::string>;

DiscoveryResult walk(ScriptedLookup &lookup, std::string_view domain) {
  auto result = discover_policy(std::pmr::get_default_resource(), lookup, domain, k_no_deadline);
  EXPECT_TRUE(result);
  return std::move(*result);
}

Names record_names(const DiscoveryResult &result) {
  Names names;
  for (const auto &found : result.records)
    names.emplace_back(found.name);
  return names;
}

// "l1.l2....lN.example" style names of n labels.
std::string name_of(int labels) {
  std::string name;
  for (int i = labels; i > 1; --i)
    name += "l" + std::to_string(i) + ".";
  return name + "tld";
}

TEST(Labels, CountStripAndBelow) {
  EXPECT_EQ(label_count(""), 0u);
  EXPECT_EQ(label_count("com"), 1u);
  EXPECT_EQ(label_count("example.com."), 3u);
  EXPECT_EQ(strip_labels("a.b.c", 0), "a.b.c");
  EXPECT_EQ(strip_labels("a.b.c", 2), "c");
  EXPECT_FALSE(strip_labels("a.b.c", 3));
  EXPECT_FALSE(strip_labels("com.", 1));
  EXPECT_EQ(strip_labels(".com", 1), "com");
  EXPECT_EQ(one_label_below("mail.example.com", "com"), "example.com");
  EXPECT_EQ(one_label_below("a.b.example.com", "example.com"), "b.example.com");
  EXPECT_FALSE(one_label_below("example.com", "example.com"));
  EXPECT_FALSE(one_label_below("com", "example.com"));
}

TEST(TreeWalk, QueryNamesOfAWalk) {
  struct Case {
    std::string domain;
    Names queries;
  };
  const Case cases[] = {
      {"a.b.example.com",
       {"_dmarc.a.b.example.com", "_dmarc.b.example.com", "_dmarc.example.com", "_dmarc.com"}},
      {"example.com.", {"_dmarc.example.com.", "_dmarc.com."}},
      {"com", {"_dmarc.com"}},
      {"Mail.Example.COM", {"_dmarc.Mail.Example.COM", "_dmarc.Example.COM", "_dmarc.COM"}},
      {name_of(8),
       {"_dmarc." + name_of(8), "_dmarc." + name_of(7), "_dmarc." + name_of(6),
        "_dmarc." + name_of(5), "_dmarc." + name_of(4), "_dmarc." + name_of(3),
        "_dmarc." + name_of(2), "_dmarc." + name_of(1)}},
      {name_of(9),
       {"_dmarc." + name_of(9), "_dmarc." + name_of(7), "_dmarc." + name_of(6),
        "_dmarc." + name_of(5), "_dmarc." + name_of(4), "_dmarc." + name_of(3),
        "_dmarc." + name_of(2), "_dmarc." + name_of(1)}},
      {name_of(12),
       {"_dmarc." + name_of(12), "_dmarc." + name_of(7), "_dmarc." + name_of(6),
        "_dmarc." + name_of(5), "_dmarc." + name_of(4), "_dmarc." + name_of(3),
        "_dmarc." + name_of(2), "_dmarc." + name_of(1)}},
      // Ten labels and a trailing dot: 11 labels, the last one empty; the
      // walk jumps to 7 and never asks for the root.
      {name_of(10) + ".",
       {"_dmarc." + name_of(10) + ".", "_dmarc." + name_of(6) + ".", "_dmarc." + name_of(5) + ".",
        "_dmarc." + name_of(4) + ".", "_dmarc." + name_of(3) + ".", "_dmarc." + name_of(2) + ".",
        "_dmarc." + name_of(1) + "."}},
  };
  for (const auto &c : cases) {
    ScriptedLookup lookup;
    const auto result = walk(lookup, c.domain);
    EXPECT_EQ(lookup.queries(), c.queries) << c.domain;
    EXPECT_TRUE(result.records.empty());
    EXPECT_FALSE(result.dns_failed);
    EXPECT_EQ(result.author_domain, c.domain);
  }
}

TEST(TreeWalk, RecordsInWalkOrderWithLabelCounts) {
  ScriptedLookup lookup;
  lookup.txt("_dmarc.b.example.com", {"v=DMARC1; p=reject"})
      .txt("_dmarc.com", {"v=DMARC1; p=none"});
  const auto result = walk(lookup, "a.b.example.com");
  EXPECT_EQ(record_names(result), (Names{"b.example.com", "com"}));
  EXPECT_EQ(result.records[0].label_count, 3u);
  EXPECT_EQ(result.records[0].record.p, PolicyAction::reject);
  EXPECT_EQ(result.records[1].label_count, 1u);
  EXPECT_EQ(lookup.queries().size(), 4u);
}

TEST(TreeWalk, PsdTagStopsTheWalk) {
  for (const char *psd : {"psd=n", "psd=y", "psd=N"}) {
    ScriptedLookup lookup;
    lookup.txt("_dmarc.example.com", {std::string("v=DMARC1; p=none; ") + psd})
        .txt("_dmarc.com", {"v=DMARC1; p=reject"});
    const auto result = walk(lookup, "a.b.example.com");
    EXPECT_EQ(lookup.queries().size(), 3u) << psd;
    EXPECT_EQ(record_names(result), Names{"example.com"}) << psd;
  }
  // Any other psd value does not stop it.
  ScriptedLookup lookup;
  lookup.txt("_dmarc.example.com", {"v=DMARC1; p=none; psd=x"});
  walk(lookup, "a.b.example.com");
  EXPECT_EQ(lookup.queries().size(), 4u);
}

TEST(TreeWalk, SortsLookupOutcomes) {
  struct Case {
    Error error;
    bool dns_failure;
  };
  const Case cases[] = {
      {Error::DnsNameError, false},     {Error::EmptyLabel, false},
      {Error::LabelTooLong, false},     {Error::TooManyLabels, false},
      {Error::NameTooLong, false},      {Error::DnsTimeout, true},
      {Error::DnsServerFailure, true},  {Error::DnsNoHealthyServers, true},
      {Error::PacketTooShort, true},    {Error::InvalidPointer, true},
      {Error::TooManyPointers, true},   {Error::DnsIdMismatch, true},
      {Error::ConnectionRefused, true}, {Error::ProcessFdQuotaExceeded, true},
      {Error::OutOfMemory, true},
  };
  for (const auto &c : cases) {
    ScriptedLookup lookup;
    lookup.fail("_dmarc.mail.example.com", c.error).txt("_dmarc.example.com", {"v=DMARC1; p=none"});
    const auto result = walk(lookup, "mail.example.com");
    EXPECT_EQ(result.dns_failed, c.dns_failure) << error_name(c.error);
    // Either way the walk goes on and finds the record higher up.
    EXPECT_EQ(record_names(result), Names{"example.com"}) << error_name(c.error);
    EXPECT_EQ(lookup.queries().size(), 3u);
  }
}

TEST(TreeWalk, EveryLookupFailing) {
  ScriptedLookup nxdomain;
  const auto none = walk(nxdomain, "a.example.com");
  EXPECT_TRUE(none.records.empty());
  EXPECT_FALSE(none.dns_failed);

  ScriptedLookup timeouts;
  timeouts.fail_unscripted(Error::DnsTimeout);
  const auto failed = walk(timeouts, "a.example.com");
  EXPECT_TRUE(failed.records.empty());
  EXPECT_TRUE(failed.dns_failed);
  EXPECT_EQ(timeouts.queries().size(), 3u);
}

TEST(TreeWalk, SeveralRecordsAtOneNameCountAsNone) {
  ScriptedLookup lookup;
  lookup.txt("_dmarc.example.com", {"v=DMARC1; p=none", "v=DMARC1; p=reject"})
      .txt("_dmarc.com", {"v=DMARC1; p=quarantine"});
  const auto result = walk(lookup, "example.com");
  EXPECT_EQ(record_names(result), Names{"com"});
  EXPECT_FALSE(result.dns_failed);
}

TEST(TreeWalk, ViewsSurviveMovesAndTheAnswers) {
  ScriptedLookup lookup;
  lookup.txt("_dmarc.a.example.com", {"v=DMARC1; p=none; rua=mailto:reports@example.com"})
      .txt("_dmarc.example.com", {"v=DMARC1; p=reject"});
  auto first = walk(lookup, "a.example.com");
  const DiscoveryResult moved(std::move(first));
  EXPECT_EQ(moved.author_domain, "a.example.com");
  EXPECT_EQ(record_names(moved), (Names{"a.example.com", "example.com"}));
  EXPECT_EQ(moved.records[0].record.rua, "mailto:reports@example.com");
  EXPECT_EQ(moved.names.size(), 3u);
}

// Every allocation of the walk in turn fails: the walk reports OutOfMemory
// (and ASan sees nothing left behind), or, when only a query name could not
// be formed, a walk with a DNS failure; with enough memory, the record.
TEST(TreeWalk, OutOfMemoryEndsTheWalk) {
  ScriptedLookup lookup;
  lookup.txt("_dmarc.example.com",
             {"v=DMARC1; p=none; rua=mailto:a-long-report-address@example.com"});
  for (std::size_t allowed = 0;; ++allowed) {
    ASSERT_LT(allowed, 100u);
    test::FailingResource resource(allowed);
    const auto result =
        discover_policy(&resource, lookup, "a-rather-long-label.mail.example.com", k_no_deadline);
    if (!result) {
      EXPECT_EQ(result.error(), Error::OutOfMemory);
      continue;
    }
    if (result->dns_failed) continue;
    EXPECT_EQ(record_names(*result), Names{"example.com"});
    EXPECT_GT(allowed, 2u);
    break;
  }
}

} // namespace
} // namespace corvane::dmarc
