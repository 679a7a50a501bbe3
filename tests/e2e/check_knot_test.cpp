// corvane-check run as a process against a real authoritative server (Knot
// DNS) serving a parent zone with a psd=y record and a domain whose DMARC
// record is too large for a UDP reply.
#include "support/knot_server.hpp"
#include "support/process_runner.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace corvane {
namespace {

using test::KnotServer;
using test::KnotZone;

const std::string k_tool = CORVANE_BINARY_DIR "/src/check/corvane-check";

// A p=reject record padded with report addresses to 1400 bytes, in
// character-strings of 200 bytes: knotd must truncate it over UDP.
std::string big_record_zone_line() {
  std::string text = "v=DMARC1; p=reject; rua=";
  while (text.size() < 1400)
    text += "mailto:dmarc-reports@example.org,";
  text.resize(1400);
  std::string line = "_dmarc IN TXT ";
  for (std::size_t at = 0; at < text.size(); at += 200)
    line += "\"" + text.substr(at, 200) + "\" ";
  return line + "\n";
}

class CheckAgainstKnot : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!KnotServer::knotd_path()) return;
    knot_ = new KnotServer({
        KnotZone{"org", "_dmarc IN TXT \"v=DMARC1; p=none; psd=y\"\n"},
        KnotZone{"example.org", big_record_zone_line() + "mail IN A 192.0.2.25\n"},
    });
  }
  static void TearDownTestSuite() {
    delete knot_;
    knot_ = nullptr;
  }
  void SetUp() override {
    if (!knot_) GTEST_SKIP() << "knotd is not installed (scripts/install-deps installs it)";
  }

  static test::ProcessResult check(std::vector<std::string> args) {
    test::ProcessRun run;
    run.program = k_tool;
    run.args = std::move(args);
    run.args.insert(run.args.end(), {"-n", knot_->address(), "-p", std::to_string(knot_->port())});
    run.time_limit = std::chrono::seconds(30);
    return test::run_process(run);
  }

  static inline KnotServer *knot_ = nullptr;
};

TEST_F(CheckAgainstKnot, PolicyRecordChoice) {
  struct Case {
    const char *what;
    std::string from;
    std::string policy_domain;
    std::string disposition;
  };
  const Case cases[] = {
      // The large record at the Author Domain came over TCP; org's psd=y makes
      // example.org the organizational domain, one label below it.
      {"record at the Author Domain", "example.org", "example.org", "reject"},
      // No record at the Author Domain: the policy comes from the record
      // found highest up the tree, org's p=none.
      {"subdomain without a record", "mail.example.org", "org", "none"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const auto run = check({"--from", c.from, "--dkim", "example.org", "--dkim-result", "pass"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, "result=pass\ndisposition=" + c.disposition +
                           "\npolicy_domain=" + c.policy_domain +
                           "\nfrom_org=example.org\nspf_org=\nspf_aligned=no\n"
                           "dkim_org=example.org\ndkim_aligned=yes\n");
    EXPECT_EQ(run.err, "");
  }
}

TEST_F(CheckAgainstKnot, UnalignedSpfFails) {
  const auto run =
      check({"--from", "example.org", "--mailfrom", "bounces.example.net", "--spf", "pass"});
  EXPECT_EQ(run.exit_status, 0);
  // example.net is not served here: its walk fails with REFUSED, so no
  // organizational domain is known for it and it cannot align.
  EXPECT_EQ(run.out, "result=fail\n"
                     "disposition=reject\n"
                     "policy_domain=example.org\n"
                     "from_org=example.org\n"
                     "spf_org=bounces.example.net\n"
                     "spf_aligned=no\n"
                     "dkim_org=\n"
                     "dkim_aligned=no\n");
  EXPECT_EQ(run.err, "");
}

} // namespace
} // namespace corvane
