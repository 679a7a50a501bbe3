#include "filter/upstream_results.hpp"
#include "log/log.hpp"
#include "support/stderr_capture.hpp"
#include "unit/dmarc/failing_resource.hpp"
#include "unit/filter/header_list.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

namespace corvane::filter {
namespace {

using test::header_list;

constexpr std::string_view k_id = "mx.example.net";

std::string dkim_text(const dmarc::IdentifierResult &id) {
  return std::string(id.domain.value_or("<none>")) + "/" +
         std::string(id.result.value_or("<none>")) + (id.testing_key ? "/testing" : "");
}

std::vector<std::string> dkim_texts(const UpstreamResults &results) {
  std::vector<std::string> texts;
  for (const auto &id : results.dkim)
    texts.push_back(dkim_text(id));
  return texts;
}

class CollectUpstreamResults : public ::testing::Test {
protected:
  void SetUp() override { log::install_log_settings(log::initial_log_settings()); }
  const std::string pid_ = std::to_string(::getpid());
};

TEST_F(CollectUpstreamResults, FirstTrustedResultsInMessageOrder) {
  const auto headers = header_list({
      {"Authentication-Results", "mx.example.net.evil; spf=fail; arc=fail; dkim=fail header.d=x"},
      {"Received", "mx.example.net; spf=fail"},
      {"authentication-results",
       "MX.EXAMPLE.NET 1; dmarc=pass; spf = pass smtp.mailfrom=a.example"},
      {"Authentication-Results", "mx.example.netx; spf=temperror"},
      {"Authentication-Results", "mx.example.net;arc=pass; spf=fail; arc=fail"},
      {"Authentication-Results",
       "mx.example.net; dkim=pass (good; 1024-bit key) header.d=example.org header.s=sel"},
      {"Authentication-Results", "mx.example.net\r\n; dkim=pass header.d=forged.example"},
      {"Authentication-Results", "mx.example.net; dkim=pass header.d=\"example.org\""},
      {"Authentication-Results", "mx.example.net; dkim=neutral; none"},
      {"Authentication-Results",
       "mx.example.net; dkim=pass header.d=t.example policy.dkim-rules=Testing-Key"},
      {"Authentication-Results",
       "mx.example.net; dkim=pass header.d=u.example policy.dkim-rules=\"testing-key\""},
  });
  const auto results = collect_upstream_results(headers, k_id, std::pmr::get_default_resource());
  EXPECT_EQ(results.spf_result, "pass");
  EXPECT_EQ(results.arc_result, "pass");
  EXPECT_FALSE(results.over_limit);
  EXPECT_EQ(dkim_texts(results),
            (std::vector<std::string>{"example.org/pass", "\"example.org\"/pass", "<none>/neutral",
                                      "t.example/pass/testing", "u.example/pass"}));
}

TEST_F(CollectUpstreamResults, TenDkimResultsAtMostAndOneWarning) {
  std::string twelve = "mx.example.net";
  for (int i = 1; i <= 12; ++i)
    twelve += "; dkim=pass header.d=d" + std::to_string(i) + ".example";
  twelve += "; spf=fail";
  const auto headers = header_list({
      {"Authentication-Results", twelve},
      {"Authentication-Results", "mx.example.net; arc=pass; dkim=pass header.d=late.example"},
      {"Authentication-Results", "mx.example.net; spf=pass"},
  });
  test::StderrCapture capture;
  const auto results = collect_upstream_results(headers, k_id, std::pmr::get_default_resource());
  ASSERT_EQ(results.dkim.size(), 10u);
  EXPECT_EQ(dkim_text(results.dkim.front()), "d1.example/pass");
  EXPECT_EQ(dkim_text(results.dkim.back()), "d10.example/pass");
  EXPECT_TRUE(results.over_limit);
  // The rest of the header that went over is not read; later headers are,
  // up to their own first dkim entry.
  EXPECT_EQ(results.spf_result, "pass");
  EXPECT_EQ(results.arc_result, "pass");
  EXPECT_EQ(capture.text(), "pellwyn[" + pid_ +
                                "]: more than 10 DKIM results in Authentication-Results; "
                                "evaluating the first 10\n");

  const auto ten = header_list(
      {{"Authentication-Results", twelve.substr(0, twelve.find("; dkim=pass header.d=d11"))}});
  test::StderrCapture quiet;
  const auto exact = collect_upstream_results(ten, k_id, std::pmr::get_default_resource());
  EXPECT_EQ(exact.dkim.size(), 10u);
  EXPECT_FALSE(exact.over_limit);
  EXPECT_EQ(quiet.text(), "");
}

TEST_F(CollectUpstreamResults, ViewsAreCopiesThatSurviveTheHeadersAndAMove) {
  auto headers =
      header_list({{"Authentication-Results",
                    "mx.example.net; spf=pass; arc=pass; dkim=pass header.d=example.org"}});
  auto collected = collect_upstream_results(headers, k_id, std::pmr::get_default_resource());
  headers.front().value.assign(200, 'x');
  const UpstreamResults moved(std::move(collected));
  EXPECT_EQ(moved.spf_result, "pass");
  EXPECT_EQ(moved.arc_result, "pass");
  EXPECT_EQ(dkim_texts(moved), std::vector<std::string>{"example.org/pass"});
}

// Whatever runs out, a value is either the right one or absent: a later spf
// or arc entry never stands in for the first one (a short result needs no
// allocation, so one in the same header would show), and nothing crashes.
TEST_F(CollectUpstreamResults, OutOfMemoryLeavesValuesAbsent) {
  const auto headers = header_list({
      {"Authentication-Results",
       "mx.example.net; spf=first-spf-result-word; spf=fail; arc=first-arc-result-word;"
       " arc=none; dkim=pass header.d=a-long-signing-domain.example"},
      {"Authentication-Results", "mx.example.net; spf=fail; arc=none;"
                                 " dkim=fail header.d=another-signing-domain.example"},
  });
  bool saw_partial = false;
  for (std::size_t allowed = 0;; ++allowed) {
    ASSERT_LT(allowed, 100u);
    test::FailingResource resource(allowed);
    const auto results = collect_upstream_results(headers, k_id, &resource);
    EXPECT_EQ(results.spf_result.value_or("first-spf-result-word"), "first-spf-result-word");
    EXPECT_EQ(results.arc_result.value_or("first-arc-result-word"), "first-arc-result-word");
    for (const auto &id : results.dkim) {
      const std::string text = dkim_text(id);
      EXPECT_TRUE(text == "a-long-signing-domain.example/pass" ||
                  text == "another-signing-domain.example/fail" || text == "<none>/pass" ||
                  text == "<none>/fail")
          << text;
    }
    if (resource.allocations() < allowed) {
      EXPECT_EQ(results.spf_result, "first-spf-result-word");
      EXPECT_EQ(dkim_texts(results),
                (std::vector<std::string>{"a-long-signing-domain.example/pass",
                                          "another-signing-domain.example/fail"}));
      break;
    }
    saw_partial = saw_partial || results.spf_result || !results.dkim.empty();
  }
  EXPECT_TRUE(saw_partial);
}

} // namespace
} // namespace corvane::filter
