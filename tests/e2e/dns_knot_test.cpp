#include "dns/resolver.hpp"
#include "log/log.hpp"
#include "support/knot_server.hpp"
#include "support/stderr_capture.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

// lookup_txt against a real authoritative server (Knot DNS), started by the
// test on a loopback address and a free port.
namespace corvane::dns {
namespace {

using test::KnotServer;
using test::KnotZone;

// Six character-strings of 250 bytes: 1500 bytes of record, more than the
// 1232-byte payload the query advertises, so knotd truncates over UDP.
std::string long_record_text() {
  std::string text = "v=DMARC1; p=reject; rua=mailto:";
  while (text.size() < 1500)
    text += "dmarc-reports@example.org,";
  text.resize(1500);
  return text;
}

std::string quoted_strings(const std::string &text) {
  std::string out;
  for (std::size_t at = 0; at < text.size(); at += 250)
    out += "\"" + text.substr(at, 250) + "\" ";
  return out;
}

std::string example_records() {
  return "_dmarc IN TXT \"v=DMARC1; \" \"p=quarantine\"\n"
         "_dmarc.big IN TXT " +
         quoted_strings(long_record_text()) +
         "\n"
         "_dmarc.short 5 IN TXT \"v=DMARC1; p=none\"\n"
         "_dmarc.alias IN CNAME _dmarc\n"
         "mail IN A 192.0.2.25\n";
}

class KnotTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!KnotServer::knotd_path()) return;
    knot_ = new KnotServer({KnotZone{"example.org", example_records()}});
  }
  static void TearDownTestSuite() {
    delete knot_;
    knot_ = nullptr;
  }
  void SetUp() override {
    if (!knot_) GTEST_SKIP() << "knotd is not installed (scripts/install-deps installs it)";
  }

  static std::unique_ptr<Resolver> resolver(const KnotServer &server) {
    ResolverSettings settings;
    settings.nameservers = {server.address()};
    settings.port = server.port();
    settings.timeout_ms = 2000;
    auto made = make_resolver(settings);
    EXPECT_TRUE(made);
    return made ? std::move(*made) : nullptr;
  }

  static inline KnotServer *knot_ = nullptr;
};

TEST_F(KnotTest, TxtRecordStringsAreJoined) {
  auto got = resolver(*knot_)->lookup_txt("_dmarc.example.org", k_no_deadline);
  ASSERT_TRUE(got) << error_name(got.error());
  ASSERT_EQ(got->size(), 1u);
  EXPECT_EQ((*got)[0].name, "_dmarc.example.org");
  EXPECT_EQ((*got)[0].type, 16);
  EXPECT_EQ((*got)[0].ttl, 300u);
  EXPECT_EQ((*got)[0].data, "v=DMARC1; p=quarantine");
}

TEST_F(KnotTest, LargeRecordIsTruncatedOverUdpAndFetchedOverTcp) {
  auto settings = log::check_tool_log_settings();
  settings.level = 7;
  settings.set_ident("t");
  log::install_log_settings(settings);
  std::string lines;
  Result<AnswerList> got = Error::Unexpected;
  {
    test::StderrCapture capture;
    got = resolver(*knot_)->lookup_txt("_dmarc.big.example.org", k_no_deadline);
    lines = capture.text();
  }
  log::install_log_settings(log::check_tool_log_settings());
  ASSERT_TRUE(got) << error_name(got.error()) << "\n" << lines;
  ASSERT_EQ(got->size(), 1u);
  EXPECT_EQ(std::string_view((*got)[0].data), long_record_text());
  EXPECT_NE(lines.find("dns: _dmarc.big.example.org truncated over udp, retrying over tcp"),
            std::string::npos)
      << lines;
  EXPECT_EQ(lines.find("tcp retry for"), std::string::npos) << lines;
  EXPECT_EQ(lines.find("unparseable"), std::string::npos) << lines;
}

TEST_F(KnotTest, CnameIsFollowedByTheServer) {
  auto got = resolver(*knot_)->lookup_txt("_dmarc.alias.example.org", k_no_deadline);
  ASSERT_TRUE(got) << error_name(got.error());
  ASSERT_EQ(got->size(), 2u);
  EXPECT_EQ((*got)[0].type, 5);
  EXPECT_EQ((*got)[0].data, "_dmarc.example.org");
  EXPECT_EQ((*got)[1].type, 16);
  EXPECT_EQ((*got)[1].name, "_dmarc.example.org");
  EXPECT_EQ((*got)[1].data, "v=DMARC1; p=quarantine");
}

TEST_F(KnotTest, OutcomesOfARealServer) {
  auto r = resolver(*knot_);
  // A name that does not exist in the zone.
  auto missing = r->lookup_txt("_dmarc.nowhere.example.org", k_no_deadline);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), Error::DnsNameError);
  // A name that exists without TXT records: NOERROR and no answers.
  auto no_data = r->lookup_txt("mail.example.org", k_no_deadline);
  ASSERT_TRUE(no_data) << error_name(no_data.error());
  EXPECT_TRUE(no_data->empty());
  // A zone the server does not serve: REFUSED.
  auto refused = r->lookup_txt("_dmarc.example.net", k_no_deadline);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), Error::DnsServerFailure);
  // The TTL as the zone gives it; names keep the case they were asked in.
  auto short_lived = r->lookup_txt("_DMARC.Short.example.org", k_no_deadline);
  ASSERT_TRUE(short_lived);
  ASSERT_EQ(short_lived->size(), 1u);
  EXPECT_EQ((*short_lived)[0].ttl, 5u);
}

TEST_F(KnotTest, Ipv6Loopback) {
  std::unique_ptr<KnotServer> v6;
  try {
    v6 = std::make_unique<KnotServer>(std::vector<KnotZone>{{"example.org", example_records()}},
                                      "::1");
  } catch (const std::runtime_error &e) {
    GTEST_SKIP() << "no IPv6 loopback here: " << e.what();
  }
  auto got = resolver(*v6)->lookup_txt("_dmarc.big.example.org", k_no_deadline);
  ASSERT_TRUE(got) << error_name(got.error());
  ASSERT_EQ(got->size(), 1u);
  EXPECT_EQ((*got)[0].data.size(), 1500u);
}

} // namespace
} // namespace corvane::dns
