// corvane-check run as a process against the scriptable DNS server: full
// evaluations, the tree walk as the server saw it, every way DNS can fail, the
// wall-clock budget, and an IPv6 nameserver.
#include "support/dns_server.hpp"
#include "support/process_runner.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace corvane {
namespace {

using test::DnsBehaviour;
using test::DnsServer;

const std::string k_tool = CORVANE_BINARY_DIR "/src/check/corvane-check";

test::ProcessResult run_against(const DnsServer &server, std::vector<std::string> args,
                                std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  test::ProcessRun run;
  run.program = k_tool;
  run.args = std::move(args);
  run.args.insert(run.args.end(), {"-n", server.address(), "-p", std::to_string(server.port())});
  run.time_limit = limit;
  return test::run_process(run);
}

struct Verdict {
  std::string result, disposition, policy_domain, from_org, spf_org, spf_aligned, dkim_org,
      dkim_aligned;
};

std::string lines(const Verdict &v) {
  return "result=" + v.result + "\ndisposition=" + v.disposition +
         "\npolicy_domain=" + v.policy_domain + "\nfrom_org=" + v.from_org +
         "\nspf_org=" + v.spf_org + "\nspf_aligned=" + v.spf_aligned + "\ndkim_org=" + v.dkim_org +
         "\ndkim_aligned=" + v.dkim_aligned + "\n";
}

const Verdict k_temperror{"temperror", "none", "", "", "", "no", "", "no"};

std::vector<std::string> query_names(const DnsServer &server) {
  std::vector<std::string> names;
  for (const auto &q : server.queries())
    names.push_back(q.name);
  return names;
}

void expect_verdict(const test::ProcessResult &run, const Verdict &verdict) {
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, lines(verdict));
  EXPECT_EQ(run.err, "");
}

TEST(CheckAgainstDns, FullEvaluationAndItsWalk) {
  DnsServer server;
  server.answer("_dmarc.example.org", test::txt_answer({"v=DMARC1; p=reject; ", "sp=quarantine"}));
  const auto run = run_against(
      server, {"--from", "news.example.org", "--mailfrom", "bounce.example.org", "--spf", "pass"});
  // The Author Domain is a subdomain with its organizational domain's sp.
  expect_verdict(
      run, {"pass", "quarantine", "example.org", "example.org", "example.org", "yes", "", "no"});
  // The SPF walk shares the upper levels through the cache: only its own
  // first name reaches the server.
  EXPECT_EQ(query_names(server),
            (std::vector<std::string>{"_dmarc.news.example.org", "_dmarc.example.org", "_dmarc.org",
                                      "_dmarc.bounce.example.org"}));
  for (const auto &q : server.queries())
    EXPECT_EQ(q.type, 16);
}

TEST(CheckAgainstDns, FailingMessageUnderTestingMode) {
  DnsServer server;
  server.answer("_dmarc.example.org", test::txt_answer({"v=DMARC1; p=reject; t=y"}));
  const auto run = run_against(
      server, {"--from", "example.org", "--dkim", "example.org", "--dkim-result", "fail"});
  // t=y steps reject down to quarantine; the DKIM domain is the Author Domain,
  // so it aligns though it failed.
  expect_verdict(run, {"fail", "quarantine", "example.org", "example.org", "", "no", "", "yes"});
}

TEST(CheckAgainstDns, NoRecordAnywhereIsNone) {
  DnsServer server; // every name: NXDOMAIN
  const auto run = run_against(server, {"--from", "mail.example.org"});
  expect_verdict(run, {"none", "none", "", "", "", "no", "", "no"});
  EXPECT_EQ(server.query_count(), 3u);
}

TEST(CheckAgainstDns, LongNamesAreWalkedAtTwelveThenSevenLabels) {
  DnsServer server;
  const std::string domain = "l1.l2.l3.l4.l5.l6.l7.l8.l9.l10.example.org";
  const auto run = run_against(server, {"--from", domain});
  expect_verdict(run, {"none", "none", "", "", "", "no", "", "no"});
  EXPECT_EQ(
      query_names(server),
      (std::vector<std::string>{"_dmarc." + domain, "_dmarc.l6.l7.l8.l9.l10.example.org",
                                "_dmarc.l7.l8.l9.l10.example.org", "_dmarc.l8.l9.l10.example.org",
                                "_dmarc.l9.l10.example.org", "_dmarc.l10.example.org",
                                "_dmarc.example.org", "_dmarc.org"}));
  // Each query has an ID of its own that nobody can guess from the last one.
  const auto queries = server.queries();
  std::size_t in_sequence = 0;
  for (std::size_t i = 1; i < queries.size(); ++i)
    in_sequence += queries[i].id == static_cast<std::uint16_t>(queries[i - 1].id + 1) ? 1 : 0;
  EXPECT_LT(in_sequence, queries.size() - 1);
}

// Forged datagrams (another ID, QR clear, another question) arrive first and
// carry p=none; the reply to the question follows and is the one used.
TEST(CheckAgainstDns, ForgedRepliesAreIgnored) {
  DnsBehaviour forged = test::txt_answer({"v=DMARC1; p=none"});
  std::vector<DnsBehaviour> decoys(4, forged);
  decoys[0].id_xor = 0x0001;
  decoys[1].qr_clear = true;
  decoys[2].question_name = "_dmarc.example.net";
  decoys[3].question_type = 1;
  DnsBehaviour reply = test::txt_answer({"v=DMARC1; p=reject"});
  reply.decoys = decoys;
  reply.delay = std::chrono::milliseconds(20);
  DnsServer server;
  server.answer("_dmarc.example.org", reply);
  const auto run = run_against(server, {"--from", "example.org"});
  expect_verdict(run, {"fail", "reject", "example.org", "example.org", "", "no", "", "no"});
  EXPECT_EQ(server.query_count(), 2u); // example.org, org: one query each
}

// A record about another name, put beside the answer, is no second DMARC
// record of the name asked: the answer's own record applies.
TEST(CheckAgainstDns, RecordsOfOtherNamesAreNotTheAnswer) {
  DnsBehaviour reply = test::txt_answer({"v=DMARC1; p=reject"});
  test::DnsRecord foreign;
  foreign.owner = "_dmarc.attacker.example";
  foreign.strings = {"v=DMARC1; p=none"};
  reply.answers.insert(reply.answers.begin(), foreign);
  DnsServer server;
  server.answer("_dmarc.example.org", reply);
  const auto run = run_against(server, {"--from", "example.org"});
  expect_verdict(run, {"fail", "reject", "example.org", "example.org", "", "no", "", "no"});
}

// A pointer to itself: the decoder gives up after its jump limit.
std::string pointer_loop_reply() {
  return std::string("\0\0\x81\x80\0\0\0\x01\0\0\0\0\xC0\x0C", 14);
}

TEST(CheckAgainstDns, EveryDnsFailureEndsInTemperror) {
  struct Case {
    const char *what;
    DnsBehaviour behaviour;
  };
  DnsBehaviour loop;
  loop.udp_raw = pointer_loop_reply();
  DnsBehaviour short_reply;
  short_reply.udp_raw = std::string("\0\0\x81", 3);
  DnsBehaviour truncated_empty; // and nothing listens on TCP
  truncated_empty.truncate = true;
  const Case cases[] = {
      {"SERVFAIL", test::rcode_answer(2)},
      {"REFUSED", test::rcode_answer(5)},
      {"NOTIMP", test::rcode_answer(4)},
      {"compression pointer loop", loop},
      {"reply under 12 bytes", short_reply},
      {"truncated without answers, TCP refused", truncated_empty},
  };
  test::DnsServerOptions no_tcp;
  no_tcp.tcp = false;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    DnsServer server(no_tcp);
    server.answer_others(c.behaviour);
    const auto run = run_against(
        server, {"--from", "example.org", "--mailfrom", "example.org", "--spf", "pass"});
    expect_verdict(run, k_temperror);
    EXPECT_GE(server.query_count(), 2u);
  }
}

TEST(CheckAgainstDns, SilentNameserverTimesOutIntoTemperror) {
  DnsServer server;
  DnsBehaviour silent;
  silent.silent = true;
  server.answer_others(silent);
  // One label: a single lookup of 1 + 2 attempts of 5 s each.
  const auto run = run_against(server, {"--from", "org"}, std::chrono::seconds(40));
  expect_verdict(run, k_temperror);
  EXPECT_EQ(server.query_count(), 3u);
  EXPECT_EQ(query_names(server), (std::vector<std::string>(3, "_dmarc.org")));
}

TEST(CheckAgainstDns, BudgetEndsTheRunAtTheNextCheckPoint) {
  DnsServer server;
  DnsBehaviour slow = test::txt_answer({"v=DMARC1; p=reject"});
  slow.delay = std::chrono::milliseconds(300);
  server.answer("_dmarc.example.org", slow);
  DnsBehaviour slow_nxdomain = test::rcode_answer(3);
  slow_nxdomain.delay = std::chrono::milliseconds(300);
  server.answer_others(slow_nxdomain);
  const auto run =
      run_against(server,
                  {"--from", "mail.example.org", "--mailfrom", "other.net", "--spf", "pass",
                   "--dkim", "third.example", "--dkim-result", "pass", "-m", "100"},
                  std::chrono::seconds(10));
  expect_verdict(run, k_temperror);
  // The Author Domain's walk ran; neither identifier's walk began.
  for (const auto &name : query_names(server)) {
    EXPECT_EQ(name.find("other.net"), std::string::npos) << name;
    EXPECT_EQ(name.find("third.example"), std::string::npos) << name;
  }
}

// The budget bounds the waiting itself: a silent nameserver cannot hold the
// run for the 15 seconds of one lookup's attempts.
TEST(CheckAgainstDns, BudgetBoundsTheWaitForASilentServer) {
  DnsServer server;
  DnsBehaviour silent;
  silent.silent = true;
  server.answer_others(silent);
  const auto started = std::chrono::steady_clock::now();
  const auto run =
      run_against(server, {"--from", "a.b.c.d.example.org", "-m", "50"}, std::chrono::seconds(20));
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  expect_verdict(run, k_temperror);
  EXPECT_EQ(server.query_count(), 1u); // nothing is sent once the budget is spent
  EXPECT_LT(took, std::chrono::milliseconds(1500)) << took.count() << " ms";
  std::printf("corvane-check -m 50 against a silent server: %lld ms\n",
              static_cast<long long>(took.count()));
}

// Control bytes in every domain option, and in the names the walk derives
// from them, still give exactly eight lines.
TEST(CheckAgainstDns, EightLinesWhateverTheDomains) {
  DnsServer server;
  server.answer_others(test::txt_answer({"v=DMARC1; p=none"})); // a record at every name
  const auto run =
      run_against(server, {"--from", "a\nresult=pass\rb\x7f", "--mailfrom", "m\tx\n", "--spf",
                           "pass", "--dkim", "d\x1b\nq", "--dkim-result", "pass"});
  expect_verdict(
      run, {"fail", "none", "a?result=pass?b?", "a?result=pass?b?", "m?x?", "no", "d??q", "no"});
}

TEST(CheckAgainstDns, NoBudgetWithZero) {
  DnsServer server;
  DnsBehaviour slow = test::txt_answer({"v=DMARC1; p=none"});
  slow.delay = std::chrono::milliseconds(50);
  server.answer("_dmarc.example.org", slow);
  const auto run = run_against(server, {"--from", "example.org", "-m", "0"});
  expect_verdict(run, {"fail", "none", "example.org", "example.org", "", "no", "", "no"});
}

TEST(CheckAgainstDns, Ipv6Nameserver) {
  test::DnsServerOptions options;
  options.address = "::1";
  DnsServer server(options);
  server.answer("_dmarc.example.org", test::txt_answer({"v=DMARC1; p=quarantine"}));
  const auto run = run_against(
      server, {"--from", "example.org", "--dkim", "example.org", "--dkim-result", "pass"});
  expect_verdict(
      run, {"pass", "quarantine", "example.org", "example.org", "", "no", "example.org", "yes"});
}

} // namespace
} // namespace corvane
