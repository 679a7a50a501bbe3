#include "check/check_evaluation.hpp"
#include "check/output.hpp"
#include "log/log.hpp"
#include "support/scripted_lookup.hpp"
#include "unit/dmarc/failing_resource.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace corvane::check {
namespace {

using test::ScriptedLookup;

std::string lines(std::string_view result, std::string_view disposition = "none",
                  std::string_view policy_domain = "", std::string_view from_org = "",
                  std::string_view spf_org = "", std::string_view spf_aligned = "no",
                  std::string_view dkim_org = "", std::string_view dkim_aligned = "no") {
  std::string out;
  out.append("result=").append(result).append("\n");
  out.append("disposition=").append(disposition).append("\n");
  out.append("policy_domain=").append(policy_domain).append("\n");
  out.append("from_org=").append(from_org).append("\n");
  out.append("spf_org=").append(spf_org).append("\n");
  out.append("spf_aligned=").append(spf_aligned).append("\n");
  out.append("dkim_org=").append(dkim_org).append("\n");
  out.append("dkim_aligned=").append(dkim_aligned).append("\n");
  return out;
}

struct Check {
  // The tool's own log settings: only err lines.
  Check() { log::install_log_settings(log::check_tool_log_settings()); }
  std::string run(std::pmr::memory_resource *allocator = std::pmr::get_default_resource()) {
    const auto outcome = evaluate_options(options, lookup, nullptr, allocator);
    return format_check_output(options.from, outcome);
  }
  CheckOptions options;
  ScriptedLookup lookup;
};

TEST(CheckOutput, EarlyOutcomesPrintOnlyTheResult) {
  {
    Check check; // case 3: no record anywhere
    check.options.from = "mail.example.com";
    EXPECT_EQ(check.run(), lines("none"));
  }
  {
    Check check; // case 2: no record, one lookup timed out
    check.options.from = "mail.example.com";
    check.lookup.fail("_dmarc.example.com", Error::DnsTimeout);
    EXPECT_EQ(check.run(), lines("temperror"));
  }
  {
    Check check; // case 4: no usable policy, no valid rua
    check.options.from = "mail.example.com";
    check.lookup.txt("_dmarc.example.com", {"v=DMARC1; p=reject; sp=junk"});
    EXPECT_EQ(check.run(), lines("none", "none", "example.com"));
  }
  {
    Check check; // case 1: out of memory during discovery
    check.options.from = "mail.example.com";
    check.lookup.txt("_dmarc.example.com", {"v=DMARC1; p=reject"});
    test::FailingResource none(0);
    EXPECT_EQ(check.run(&none), lines("temperror"));
  }
}

TEST(CheckOutput, DeadlineIsCheckedBeforeTheSpfWalk) {
  // A budget that runs out during discovery (the last query outlasts it):
  // the record was found, but the SPF walk never starts and nothing of the
  // record is printed. The budget is wide enough that a slow build reaches
  // that query in time.
  Check check;
  check.options.from = "mail.example.com";
  check.options.mailfrom = "bounce.example.com";
  check.options.spf = "pass";
  check.options.budget_ms = 200;
  check.lookup.txt("_dmarc.example.com", {"v=DMARC1; p=reject"});
  check.lookup.on_query([](std::string_view name) {
    if (name == "_dmarc.com") std::this_thread::sleep_for(std::chrono::milliseconds(300));
  });
  EXPECT_EQ(check.run(), lines("temperror"));
  EXPECT_EQ(check.lookup.queries().size(), 3u);
}

TEST(CheckOutput, FullEvaluation) {
  struct Case {
    std::string_view record;
    std::string_view from;
    std::optional<std::string_view> mailfrom;
    std::string_view spf;
    std::optional<std::string_view> dkim;
    std::string_view dkim_result;
    std::string expected;
  };
  const Case cases[] = {
      // SPF passes for the Author Domain itself: its org domain without a walk.
      {"v=DMARC1; p=reject", "example.com", "example.com", "pass", std::nullopt, "none",
       lines("pass", "reject", "example.com", "example.com", "example.com", "yes")},
      // Alignment is printed whether or not the identifier passed.
      {"v=DMARC1; p=reject; aspf=s", "example.com", "example.com", "fail", std::nullopt, "none",
       lines("fail", "reject", "example.com", "example.com", "", "yes")},
      {"v=DMARC1; p=reject", "mail.example.com", "mail.example.com", "fail", std::nullopt, "none",
       lines("fail", "reject", "example.com", "example.com", "", "no")},
      {"v=DMARC1; p=reject", "example.com", "example.com", "fail", std::nullopt, "none",
       lines("fail", "reject", "example.com", "example.com", "", "yes")},
      // t=y steps reject down to quarantine; a relaxed DKIM pass is walked.
      {"v=DMARC1; p=reject; t=y", "mail.example.com", std::nullopt, "none", "sig.example.com",
       "pass",
       lines("pass", "quarantine", "example.com", "example.com", "", "no", "example.com", "yes")},
      {"v=DMARC1; p=reject; t=y", "mail.example.com", std::nullopt, "none", "sig.example.net",
       "pass",
       lines("fail", "quarantine", "example.com", "example.com", "", "no", "sig.example.net",
             "no")},
      // The tool never samples by pct.
      {"v=DMARC1; p=reject; pct=0; sp=quarantine", "mail.example.com", "bounce.example.com", "pass",
       "example.com", "fail",
       lines("pass", "quarantine", "example.com", "example.com", "example.com", "yes", "", "yes")},
  };
  for (const auto &c : cases) {
    Check check;
    check.options.from = c.from;
    check.options.mailfrom = c.mailfrom;
    check.options.spf = c.spf;
    check.options.dkim = c.dkim;
    check.options.dkim_result = c.dkim_result;
    check.lookup.txt("_dmarc.example.com", {std::string(c.record)});
    EXPECT_EQ(check.run(), c.expected) << c.record << " " << c.from;
  }
}

// Every value comes out on its own line whatever bytes it holds: control
// bytes and DEL become '?', everything else is kept.
TEST(CheckOutput, ControlBytesCannotAddLines) {
  struct Case {
    std::string from;
    std::string printed;
  };
  const Case cases[] = {
      {"a\nresult=pass", "a?result=pass"},
      {"a\r\nb", "a??b"},
      {std::string("\x01\x1f\x7f\t", 4), "????"},
      {"caf\xC3\xA9 ~!", "caf\xC3\xA9 ~!"},
  };
  for (const auto &c : cases) {
    Check check;
    check.options.from = c.from;
    check.options.mailfrom = c.from;
    check.options.spf = "pass";
    check.lookup.txt("_dmarc." + c.from, {"v=DMARC1; p=none"});
    EXPECT_EQ(check.run(), lines("pass", "none", c.printed, c.printed, c.printed, "yes"))
        << c.printed;
  }
}

TEST(CheckDeadline, BudgetToDeadline) {
  EXPECT_EQ(deadline_after(1000, 0), dmarc::k_no_deadline);
  EXPECT_EQ(deadline_after(1000, 1), 1001);
  EXPECT_EQ(deadline_after(1000, dmarc::k_no_deadline), dmarc::k_no_deadline);
  EXPECT_EQ(deadline_after(1000, dmarc::k_no_deadline - 1000), dmarc::k_no_deadline);
  EXPECT_EQ(deadline_after(1000, dmarc::k_no_deadline - 1001), dmarc::k_no_deadline - 1);
}

} // namespace
} // namespace corvane::check
