#include "core/clock.hpp"
#include "dmarc/evaluation.hpp"
#include "log/log.hpp"
#include "support/scripted_lookup.hpp"
#include "support/stderr_capture.hpp"
#include "unit/dmarc/failing_resource.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane::dmarc {
namespace {

using test::ScriptedLookup;
using Names = std::vector<std::string>;

IdentifierResult identifier(std::optional<std::string_view> domain, std::string_view result,
                            bool testing_key = false) {
  IdentifierResult id;
  id.domain = domain;
  id.result = result;
  id.testing_key = testing_key;
  return id;
}

// One evaluation against scripted DNS.
struct Evaluation {
  Evaluation(std::string_view author, std::string_view record_name = "",
             std::string_view record_text = "") {
    request.author_domain = author;
    request.resolver = &lookup;
    if (!record_name.empty()) publish(record_name, record_text);
    log::install_log_settings(log::initial_log_settings());
  }
  Evaluation &publish(std::string_view name, std::string_view text) {
    lookup.txt("_dmarc." + std::string(name), {std::string(text)});
    return *this;
  }
  EvaluationResult run() {
    request.dkim = dkim;
    return evaluate(request);
  }

  ScriptedLookup lookup;
  EvaluationRequest request;
  std::vector<IdentifierResult> dkim;
};

TEST(Evaluate, DeadlineBeforeDiscovery) {
  Evaluation e("example.com", "example.com", "v=DMARC1; p=reject");
  e.request.deadline_ms = realtime_ms();
  test::StderrCapture capture;
  const auto result = e.run();
  EXPECT_EQ(result.result, DmarcResult::temperror);
  EXPECT_EQ(result.reason, k_reason_deadline);
  EXPECT_FALSE(result.full);
  EXPECT_TRUE(e.lookup.queries().empty());
  EXPECT_NE(capture.text().find("dmarc: evaluation deadline exceeded before policy discovery\n"),
            std::string::npos);
}

TEST(Evaluate, EarlyOutcomesWithoutAPolicyRecord) {
  Evaluation none("a.example.com");
  const auto no_record = none.run();
  EXPECT_EQ(no_record.result, DmarcResult::none);
  EXPECT_EQ(no_record.reason, k_reason_no_record);
  EXPECT_EQ(none.lookup.queries().size(), 3u);

  Evaluation failing("a.example.com");
  failing.lookup.fail("_dmarc.example.com", Error::DnsTimeout);
  const auto dns_failed = failing.run();
  EXPECT_EQ(dns_failed.result, DmarcResult::temperror);
  EXPECT_EQ(dns_failed.reason, k_reason_dns_failed);
  EXPECT_EQ(dns_failed.policy_domain, "");

  // A record higher up wins over a failed lookup below it.
  Evaluation mixed("a.example.com", "com", "v=DMARC1; p=reject");
  mixed.lookup.fail("_dmarc.a.example.com", Error::DnsServerFailure);
  const auto found = mixed.run();
  EXPECT_TRUE(found.full);
  EXPECT_EQ(found.policy_domain, "com");
  EXPECT_EQ(found.result, DmarcResult::fail);
}

TEST(Evaluate, OutOfMemoryDuringDiscoveryIsAnInternalError) {
  Evaluation e("a-long-author-label.example.com", "example.com", "v=DMARC1; p=reject");
  test::FailingResource none(0);
  e.request.allocator = &none;
  const auto at_once = e.run();
  EXPECT_EQ(at_once.result, DmarcResult::temperror);
  EXPECT_EQ(at_once.reason, k_reason_internal_error);

  // Memory for the Author Domain's walk but not for the identifier's: the
  // identifier simply has no organizational domain.
  e.dkim = {identifier("a-long-dkim-label.example.com", "pass")};
  bool saw_internal_error = false;
  for (std::size_t allowed = 1;; ++allowed) {
    test::FailingResource resource(allowed);
    e.request.allocator = &resource;
    const auto result = e.run();
    if (!result.full) {
      // Running out while forming a query name is a lookup that failed.
      EXPECT_EQ(result.result, DmarcResult::temperror);
      EXPECT_TRUE(result.reason == k_reason_internal_error || result.reason == k_reason_dns_failed)
          << *result.reason;
      saw_internal_error = saw_internal_error || result.reason == k_reason_internal_error;
      continue;
    }
    EXPECT_TRUE(saw_internal_error);
    EXPECT_EQ(result.author_org, "example.com");
    if (result.result == DmarcResult::pass) {
      EXPECT_EQ(result.dkim_reported->org_domain, "example.com");
      break;
    }
    // A walk cut short compares a name that is not example.com.
    EXPECT_EQ(result.result, DmarcResult::fail);
    EXPECT_NE(result.dkim_reported->org_domain.value_or(""), "example.com");
    ASSERT_LT(allowed, 200u);
  }
}

TEST(Evaluate, PolicyRecordIsTheAuthorDomainsElseTheHighest) {
  Evaluation at_author("a.b.example.com");
  at_author.publish("a.b.example.com", "v=DMARC1; p=quarantine")
      .publish("example.com", "v=DMARC1; p=reject")
      .publish("com", "v=DMARC1; p=none");
  EXPECT_EQ(at_author.run().policy_domain, "a.b.example.com");

  Evaluation above("a.b.example.com");
  above.publish("b.example.com", "v=DMARC1; p=quarantine")
      .publish("example.com", "v=DMARC1; p=reject");
  const auto result = above.run();
  EXPECT_EQ(result.policy_domain, "example.com");
  EXPECT_EQ(result.requested_policy, PolicyAction::reject);
}

TEST(Evaluate, UsablePolicyRule) {
  struct Case {
    std::string_view text;
    DmarcResult result;
    std::optional<std::string_view> reason;
    PolicyAction requested;
    std::string_view log;
  };
  const Case cases[] = {
      {"v=DMARC1; p=reject; sp=bogus; rua=mailto:r@example.com", DmarcResult::fail, std::nullopt,
       PolicyAction::none,
       "dmarc: Mail.Example.com: record has no usable policy but a valid rua=, applying p=none "
       "per RFC 9989 4.10.1\n"},
      {"v=DMARC1; p=reject; sp=bogus", DmarcResult::none, k_reason_no_usable_policy,
       PolicyAction::none,
       "dmarc: Mail.Example.com: record has no usable policy and no valid rua=, no DMARC "
       "processing per RFC 9989 4.10.1\n"},
      {"v=DMARC1; rua=mailto:r@example.com", DmarcResult::fail, std::nullopt, PolicyAction::none,
       "applying p=none"},
      {"v=DMARC1; rua=reports", DmarcResult::none, k_reason_no_usable_policy, PolicyAction::none,
       "no DMARC processing"},
      {"v=DMARC1; p=quarantine; np=x; rua=mailto:r@example.com", DmarcResult::fail, std::nullopt,
       PolicyAction::none, "applying p=none"},
      // The valid-rua path also drops sp: the subdomain gets p=none.
      {"v=DMARC1; p=bad; sp=reject; rua=m:r", DmarcResult::fail, std::nullopt, PolicyAction::none,
       "applying p=none"},
      {"v=DMARC1; p=quarantine; sp=reject", DmarcResult::fail, std::nullopt, PolicyAction::reject,
       ""},
  };
  for (const auto &c : cases) {
    Evaluation e("Mail.Example.com", "example.com", c.text);
    test::StderrCapture capture;
    const auto result = e.run();
    EXPECT_EQ(result.result, c.result) << c.text;
    EXPECT_EQ(result.reason, c.reason) << c.text;
    EXPECT_EQ(result.policy_domain, "Example.com") << c.text; // case of the Author Domain
    EXPECT_EQ(result.requested_policy, c.requested) << c.text;
    if (c.log.empty())
      EXPECT_EQ(capture.text(), "") << c.text;
    else
      EXPECT_NE(capture.text().find(c.log), std::string::npos) << c.text << capture.text();
  }
}

TEST(Evaluate, Alignment) {
  struct Case {
    std::string_view author;
    std::string_view record; // published at example.com
    IdentifierResult spf;
    std::vector<IdentifierResult> dkim;
    bool spf_aligned;
    std::optional<std::string_view> selected;
    DmarcResult result;
  };
  const char *relaxed = "v=DMARC1; p=reject";
  const char *strict = "v=DMARC1; p=reject; adkim=s; aspf=s";
  const Case cases[] = {
      {"Example.COM",
       strict,
       {},
       {identifier("example.com", "PASS")},
       false,
       "example.com",
       DmarcResult::pass},
      {"news.example.com",
       relaxed,
       identifier("bounce.example.com", "pass"),
       {},
       true,
       std::nullopt,
       DmarcResult::pass},
      {"news.example.com",
       strict,
       identifier("bounce.example.com", "pass"),
       {},
       false,
       std::nullopt,
       DmarcResult::fail},
      {"example.com",
       strict,
       identifier("EXAMPLE.com", "Pass"),
       {},
       true,
       std::nullopt,
       DmarcResult::pass},
      // A null sender never aligns; nor does an empty domain.
      {"example.com",
       relaxed,
       identifier(std::nullopt, "pass"),
       {},
       false,
       std::nullopt,
       DmarcResult::fail},
      {"example.com", relaxed, identifier("", "pass"), {}, false, std::nullopt, DmarcResult::fail},
      {"example.com",
       relaxed,
       identifier("example.com", "fail"),
       {},
       false,
       std::nullopt,
       DmarcResult::fail},
      {"example.com",
       relaxed,
       identifier("example.net", "pass"),
       {},
       false,
       std::nullopt,
       DmarcResult::fail},
      // A testing-key DKIM result never counts as a pass.
      {"example.com",
       relaxed,
       {},
       {identifier("example.com", "pass", true)},
       false,
       std::nullopt,
       DmarcResult::fail},
      // The first DKIM identifier that passes aligned is selected.
      {"mail.example.com",
       relaxed,
       {},
       {identifier("example.net", "pass"), identifier("example.com", "fail"),
        identifier("sig.example.com", "pass"), identifier("mail.example.com", "pass")},
       false,
       "sig.example.com",
       DmarcResult::pass},
      {"mail.example.com",
       strict,
       {},
       {identifier("sig.example.com", "pass"), identifier("Mail.Example.Com", "pass")},
       false,
       "Mail.Example.Com",
       DmarcResult::pass},
  };
  for (const auto &c : cases) {
    Evaluation e(c.author, "example.com", c.record);
    e.request.spf = c.spf;
    e.dkim = c.dkim;
    const auto result = e.run();
    EXPECT_TRUE(result.full) << c.author;
    EXPECT_EQ(result.spf_aligned, c.spf_aligned) << c.author << " " << c.record;
    EXPECT_EQ(result.dkim_selected ? result.dkim_selected->domain : std::nullopt, c.selected)
        << c.author << " " << c.record;
    EXPECT_EQ(result.result, c.result) << c.author << " " << c.record;
    EXPECT_EQ(result.fail, c.result == DmarcResult::fail);
    if (!c.dkim.empty())
      EXPECT_EQ(result.dkim_reported->domain, c.selected ? c.selected : c.dkim[0].domain);
    else
      EXPECT_FALSE(result.dkim_reported);
  }
}

TEST(Evaluate, IdentifierWalks) {
  // Relaxed: both walks end at example.com.
  Evaluation relaxed("news.example.com", "example.com", "v=DMARC1; p=none");
  relaxed.request.spf = identifier("bounce.example.com", "pass");
  const auto walked = relaxed.run();
  EXPECT_EQ(relaxed.lookup.queries(),
            (Names{"_dmarc.news.example.com", "_dmarc.example.com", "_dmarc.com",
                   "_dmarc.bounce.example.com", "_dmarc.example.com", "_dmarc.com"}));
  EXPECT_EQ(walked.author_org, "example.com");
  EXPECT_EQ(walked.spf.org_domain, "example.com");
  EXPECT_TRUE(walked.spf_aligned);

  // No walk under strict alignment, for a failing identifier, or for the
  // Author Domain itself.
  Evaluation strict("news.example.com", "example.com", "v=DMARC1; p=none; aspf=s; adkim=s");
  strict.request.spf = identifier("bounce.example.com", "pass");
  strict.dkim = {identifier("bounce.example.com", "pass")};
  EXPECT_FALSE(strict.run().spf.org_domain);
  Evaluation failing("news.example.com", "example.com", "v=DMARC1; p=none");
  failing.request.spf = identifier("bounce.example.com", "softfail");
  failing.dkim = {identifier("sig.example.com", "pass", true)};
  EXPECT_FALSE(failing.run().spf.org_domain);
  Evaluation same("news.example.com", "example.com", "v=DMARC1; p=none");
  same.request.spf = identifier("NEWS.example.com", "pass");
  const auto own = same.run();
  EXPECT_EQ(own.spf.org_domain, "example.com");
  for (auto *e : {&strict, &failing, &same})
    EXPECT_EQ(e->lookup.queries().size(), 3u);
}

TEST(Evaluate, IdentifierWalkWithDnsFailuresIsNoEvaluationError) {
  // Every lookup of the SPF domain's walk fails: its organizational domain is
  // the domain itself, and the evaluation goes on.
  Evaluation e("news.example.com", "example.com", "v=DMARC1; p=none");
  e.lookup.fail("_dmarc.bounce.example.net", Error::DnsTimeout)
      .fail("_dmarc.example.net", Error::DnsServerFailure)
      .fail("_dmarc.net", Error::DnsTimeout);
  e.request.spf = identifier("bounce.example.net", "pass");
  const auto result = e.run();
  EXPECT_TRUE(result.full);
  EXPECT_EQ(result.spf.org_domain, "bounce.example.net");
  EXPECT_FALSE(result.spf_aligned);
  EXPECT_EQ(result.result, DmarcResult::fail);
}

TEST(Evaluate, RequestedPolicyForSubdomains) {
  struct Case {
    std::string_view author;
    std::string_view record_name;
    std::string_view record;
    PolicyAction requested;
  };
  using enum PolicyAction;
  const Case cases[] = {
      {"mail.example.com", "example.com", "v=DMARC1; p=reject; sp=none", none},
      {"example.com", "example.com", "v=DMARC1; p=reject; sp=none", reject},
      {"Example.com", "example.com", "v=DMARC1; p=reject; sp=none", reject},
      {"mail.example.com", "example.com", "v=DMARC1; p=quarantine", quarantine},
      // A record at the subdomain itself still gives sp when it has one.
      {"mail.example.com", "mail.example.com", "v=DMARC1; p=reject; sp=quarantine", quarantine},
      // np plays no part.
      {"mail.example.com", "example.com", "v=DMARC1; p=reject; np=none", reject},
  };
  for (const auto &c : cases) {
    Evaluation e(c.author, c.record_name, c.record);
    if (c.record_name != "example.com") e.publish("example.com", "v=DMARC1; p=none");
    EXPECT_EQ(e.run().requested_policy, c.requested) << c.author << " " << c.record;
  }
}

// Message-IDs with known wyhash values modulo 100 (from the reference vectors).
constexpr std::string_view k_mod_62 = "1234567890abcdefg";
const std::string k_mod_50(48, 'x');
const std::string k_mod_1(49, 'x');

TEST(Evaluate, TestingAndPctStepDowns) {
  struct Case {
    std::string_view record;
    bool apply_pct;
    std::optional<std::string_view> message_id;
    PolicyAction effective;
  };
  using enum PolicyAction;
  const Case cases[] = {
      {"v=DMARC1; p=reject", true, k_mod_62, reject},
      {"v=DMARC1; p=reject; t=y", false, std::nullopt, quarantine},
      {"v=DMARC1; p=reject; t=y; pct=50", true, k_mod_62, none},
      {"v=DMARC1; p=reject; t=y; pct=50", true, k_mod_50, none},
      {"v=DMARC1; p=reject; t=y; pct=50", true, k_mod_1, quarantine},
      {"v=DMARC1; p=reject; pct=50", true, std::nullopt, reject},
      {"v=DMARC1; p=reject; pct=50", false, k_mod_62, reject},
      {"v=DMARC1; p=reject; pct=0", true, std::nullopt, quarantine},
      {"v=DMARC1; p=reject; pct=0", false, std::nullopt, reject},
      {"v=DMARC1; p=reject; pct=63", true, k_mod_62, reject},
      {"v=DMARC1; p=reject; pct=62", true, k_mod_62, quarantine},
      {"v=DMARC1; p=reject; pct=99", true, k_mod_1, reject},
      {"v=DMARC1; p=quarantine; t=y", false, std::nullopt, none},
      {"v=DMARC1; p=none; t=y; pct=0", true, std::nullopt, none},
  };
  for (const auto &c : cases) {
    Evaluation e("example.com", "example.com", c.record);
    e.request.apply_pct = c.apply_pct;
    e.request.message_id = c.message_id;
    const auto result = e.run();
    EXPECT_EQ(result.result, DmarcResult::fail);
    EXPECT_EQ(result.effective_policy, c.effective)
        << c.record << " pct " << c.apply_pct << " " << c.message_id.value_or("-");
  }
  // A passing message still gets its effective policy.
  Evaluation passing("example.com", "example.com", "v=DMARC1; p=reject; t=y");
  passing.request.spf = identifier("example.com", "pass");
  const auto result = passing.run();
  EXPECT_EQ(result.result, DmarcResult::pass);
  EXPECT_EQ(result.effective_policy, PolicyAction::quarantine);
  EXPECT_TRUE(result.full);
}

TEST(Evaluate, DeadlineBeforeTheDkimWalks) {
  // The deadline passes while the SPF identifier is walked.
  Evaluation e("news.example.com", "example.com", "v=DMARC1; p=reject");
  e.request.spf = identifier("bounce.example.com", "pass");
  e.dkim = {identifier("sig.example.com", "pass")};
  e.request.deadline_ms = k_no_deadline - 1;
  e.lookup.on_query([&](std::string_view name) {
    if (name == "_dmarc.bounce.example.com") e.request.deadline_ms = realtime_ms();
  });
  test::StderrCapture capture;
  const auto result = e.run();
  EXPECT_EQ(result.result, DmarcResult::temperror);
  EXPECT_EQ(result.reason, k_reason_deadline);
  EXPECT_FALSE(result.full);
  EXPECT_EQ(e.lookup.queries().back(), "_dmarc.com"); // the SPF walk ran to its end
  EXPECT_EQ(e.lookup.queries().size(), 6u);
  EXPECT_NE(capture.text().find("dmarc: evaluation deadline exceeded during org-domain walks\n"),
            std::string::npos);
}

// Wherever the deadline passes, the walk in progress ends without waiting
// (every lookup after it fails at once) and no verdict is drawn from it: a
// walk cut short lacks the records that make relaxed alignment pass.
TEST(Evaluate, NoVerdictFromAWalkTheDeadlineCut) {
  struct Case {
    const char *what;
    std::string passes_at; // the query during which the deadline passes
    std::size_t dkim;      // DKIM identifiers, each one walked
    std::size_t queries;   // lookups asked, those after the deadline included
  };
  const Case cases[] = {
      {"during discovery", "_dmarc.news.example.com", 0, 3},
      {"during the SPF walk, no DKIM identifier", "_dmarc.bounce.example.com", 0, 6},
      {"during the only DKIM walk", "_dmarc.sig.example.com", 1, 9},
      {"during the last of two DKIM walks", "_dmarc.sig2.example.com", 2, 12},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Evaluation e("news.example.com", "example.com", "v=DMARC1; p=reject");
    e.request.spf = identifier("bounce.example.com", "pass");
    const char *signers[] = {"sig.example.com", "sig2.example.com"};
    for (std::size_t i = 0; i < c.dkim; ++i)
      e.dkim.push_back(identifier(signers[i], "pass"));
    const std::int64_t deadline = realtime_ms() + 3'600'000;
    e.request.deadline_ms = deadline;
    e.lookup.on_query([&](std::string_view name) {
      if (name == c.passes_at) e.request.deadline_ms = realtime_ms();
    });
    test::StderrCapture capture;
    const auto result = e.run();
    EXPECT_EQ(result.result, DmarcResult::temperror);
    EXPECT_EQ(result.reason, k_reason_deadline);
    EXPECT_FALSE(result.full);
    EXPECT_EQ(e.lookup.queries().size(), c.queries);
    EXPECT_EQ(e.lookup.deadlines().front(), deadline); // every lookup gets the deadline
    EXPECT_NE(capture.text().find("dmarc: evaluation deadline exceeded during org-domain walks\n"),
              std::string::npos);
  }

  // The same evaluation within its deadline passes on relaxed alignment.
  Evaluation in_time("news.example.com", "example.com", "v=DMARC1; p=reject");
  in_time.request.spf = identifier("bounce.example.com", "pass");
  in_time.request.deadline_ms = realtime_ms() + 3'600'000;
  const auto passed = in_time.run();
  EXPECT_EQ(passed.result, DmarcResult::pass);
  EXPECT_TRUE(passed.spf_aligned);
}

TEST(Evaluate, OnlyTenDkimIdentifiersAreLookedAt) {
  Evaluation e("example.com", "example.com", "v=DMARC1; p=reject");
  e.dkim.assign(10, identifier("example.net", "pass"));
  e.dkim.push_back(identifier("example.com", "pass"));
  const auto result = e.run();
  EXPECT_EQ(result.result, DmarcResult::fail);
  EXPECT_EQ(e.lookup.queries().size(), 2u + 2u * 10u);
}

// A present but empty SPF domain that passes is walked like any other; the
// walk cannot make it align.
TEST(Evaluate, EmptyPassingDomainIsWalked) {
  Evaluation e("example.com", "example.com", "v=DMARC1; p=reject");
  e.request.spf = identifier("", "pass");
  const auto result = e.run();
  EXPECT_EQ(result.result, DmarcResult::fail);
  EXPECT_FALSE(result.spf_aligned);
  ASSERT_FALSE(e.lookup.queries().empty());
  EXPECT_EQ(e.lookup.queries().back(), "_dmarc.");
}

} // namespace
} // namespace corvane::dmarc
