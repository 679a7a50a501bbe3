#include "dns/resolver.hpp"
#include "dns/thread_resolver.hpp"
#include "log/log.hpp"
#include "support/dns_server.hpp"
#include "support/stderr_capture.hpp"
#include "unit/dns/limited_resource.hpp"
#include "unit/dns/log_lines.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

namespace corvane::dns {
namespace {

using test::DnsBehaviour;
using test::DnsRecord;
using test::DnsServer;
using test::DnsTransport;
using test::rcode_answer;
using test::txt_answer;

std::int64_t g_now_s = 2'000'000'000;
std::int64_t clock_s() noexcept { return g_now_s; }

constexpr const char *k_name = "_dmarc.example.org";

using test::LogLines;

std::size_t count_of(const DnsServer &server, DnsTransport transport) {
  std::size_t n = 0;
  for (const auto &q : server.queries())
    n += q.transport == transport ? 1 : 0;
  return n;
}

class ResolverTest : public ::testing::Test {
protected:
  void SetUp() override { g_now_s = 2'000'000'000; }

  // Servers on 127.0.0.1, 127.0.0.2, ... sharing one port.
  void start(std::size_t count, test::DnsServerOptions options = {}) {
    std::vector<std::string> addresses;
    for (std::size_t i = 0; i < count; ++i)
      addresses.push_back("127.0.0." + std::to_string(i + 1));
    servers = DnsServer::start_group(addresses, options);
    for (auto &server : servers)
      settings.nameservers.push_back(server->address());
    settings.port = servers.front()->port();
  }

  Resolver &resolver() {
    if (!resolver_) {
      auto made = make_resolver(settings);
      if (!made) throw std::runtime_error(std::string(error_name(made.error())));
      resolver_ = std::move(*made);
    }
    return *resolver_;
  }

  ResolverSettings settings = [] {
    ResolverSettings s;
    s.timeout_ms = 150;
    s.retries = 2;
    s.clock_s = &clock_s;
    return s;
  }();
  std::vector<std::unique_ptr<DnsServer>> servers;

private:
  std::unique_ptr<Resolver> resolver_;
};

TEST_F(ResolverTest, AnswersAreReturnedAndCached) {
  start(1);
  DnsBehaviour reply = txt_answer({"v=DMARC1; ", "p=reject"}, 3600);
  DnsRecord cname;
  cname.type = 5;
  cname.target = "elsewhere.example";
  cname.ttl = 40;
  reply.answers.push_back(cname);
  servers[0]->answer(k_name, reply);

  auto first = resolver().lookup_txt(k_name, k_no_deadline);
  ASSERT_TRUE(first) << error_name(first.error());
  ASSERT_EQ(first->size(), 2u);
  EXPECT_EQ((*first)[0].data, "v=DMARC1; p=reject");
  EXPECT_EQ((*first)[0].ttl, 3600u);
  EXPECT_EQ((*first)[1].type, 5);
  EXPECT_EQ((*first)[1].data, "elsewhere.example");

  LogLines log;
  auto again = resolver().lookup_txt("_DMARC.example.ORG", k_no_deadline);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->size(), 2u);
  EXPECT_EQ(servers[0]->query_count(), 1u);
  EXPECT_TRUE(log.has("dns: cache hit _DMARC.example.ORG"));

  g_now_s += 40; // the CNAME's TTL bounds the entry
  ASSERT_TRUE(resolver().lookup_txt(k_name, k_no_deadline));
  EXPECT_EQ(servers[0]->query_count(), 2u);
}

TEST_F(ResolverTest, RotationMovesPastTheServerThatAnswered) {
  start(2);
  for (auto &server : servers)
    server->answer_others(txt_answer({"v=DMARC1; p=none"}));
  ASSERT_TRUE(resolver().lookup_txt("_dmarc.a.example", k_no_deadline));
  EXPECT_EQ(resolver().rotation_start(), 1u);
  ASSERT_TRUE(resolver().lookup_txt("_dmarc.b.example", k_no_deadline));
  EXPECT_EQ(resolver().rotation_start(), 0u);
  ASSERT_EQ(servers[0]->queries().size(), 1u);
  ASSERT_EQ(servers[1]->queries().size(), 1u);
  EXPECT_EQ(servers[0]->queries()[0].name, "_dmarc.a.example");
  EXPECT_EQ(servers[1]->queries()[0].name, "_dmarc.b.example");
}

TEST_F(ResolverTest, SilentFirstServerIsTriedOncePlusRetries) {
  start(2);
  DnsBehaviour silent;
  silent.silent = true;
  servers[0]->answer_others(silent);
  servers[1]->answer_others(txt_answer({"v=DMARC1; p=none"}));
  ASSERT_TRUE(resolver().lookup_txt(k_name, k_no_deadline));
  EXPECT_EQ(servers[0]->query_count(), 3u);
  EXPECT_EQ(servers[1]->query_count(), 1u);
  // The same query (same ID) is sent on every attempt.
  for (const auto &q : servers[0]->queries())
    EXPECT_EQ(q.id, servers[1]->queries()[0].id);
  EXPECT_EQ(resolver().rotation_start(), 0u);
}

TEST_F(ResolverTest, ServfailAndRefusedMoveOnToTheNextServer) {
  start(2);
  servers[0]->answer_others(rcode_answer(5));
  servers[1]->answer_others(txt_answer({"v=DMARC1; p=none"}));
  LogLines log;
  auto got = resolver().lookup_txt(k_name, k_no_deadline);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->size(), 1u);
  EXPECT_TRUE(log.has("dns: 127.0.0.1 returned rcode=5, trying next server"));
  EXPECT_EQ(resolver().rotation_start(), 0u);
}

TEST_F(ResolverTest, ServfailHeldWhenTheNextServerIsSilent) {
  start(2);
  settings.retries = 0;
  servers[0]->answer_others(rcode_answer(2));
  DnsBehaviour silent;
  silent.silent = true;
  servers[1]->answer_others(silent);
  LogLines log;
  auto got = resolver().lookup_txt(k_name, k_no_deadline);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), Error::DnsServerFailure);
  EXPECT_TRUE(log.has("dns: 127.0.0.1 returned rcode=2, trying next server"));
  EXPECT_TRUE(
      log.has("dns: _dmarc.example.org refused, rcode=server_failure from all nameservers"));
  // Cached as server_failure: nothing more is sent.
  auto again = resolver().lookup_txt(k_name, k_no_deadline);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error(), Error::DnsServerFailure);
  EXPECT_EQ(servers[0]->query_count() + servers[1]->query_count(), 2u);
  EXPECT_TRUE(log.has("dns: cache negative hit _dmarc.example.org kind=server_failure"));
}

TEST_F(ResolverTest, ErrorRcodesOfTheLastReply) {
  struct Case {
    std::uint8_t rcode;
    Error error;
    const char *warning; // nullptr: no warning
  };
  const Case cases[] = {
      {1, Error::DnsServerFailure,
       "dns: x.example refused, rcode=format_error from all nameservers"},
      {2, Error::DnsServerFailure,
       "dns: x.example refused, rcode=server_failure from all nameservers"},
      {3, Error::DnsNameError, nullptr},
      {4, Error::DnsServerFailure,
       "dns: x.example refused, rcode=not_implemented from all nameservers"},
      {5, Error::DnsServerFailure, "dns: x.example refused, rcode=refused from all nameservers"},
      {6, Error::DnsServerFailure, "dns: x.example refused, rcode=6 from all nameservers"},
      {15, Error::DnsServerFailure, "dns: x.example refused, rcode=15 from all nameservers"},
  };
  start(1);
  for (const auto &c : cases) {
    SCOPED_TRACE(int{c.rcode});
    servers[0]->answer_others(rcode_answer(c.rcode));
    auto made = make_resolver(settings);
    ASSERT_TRUE(made);
    LogLines log;
    auto got = (*made)->lookup_txt("x.example", k_no_deadline);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error(), c.error);
    if (c.warning)
      EXPECT_TRUE(log.has(c.warning));
    else
      EXPECT_FALSE(log.has_prefix("dns: x.example refused"));
    // Every one of these outcomes is cached: the second lookup sends nothing.
    const std::size_t sent = servers[0]->query_count();
    auto again = (*made)->lookup_txt("x.example", k_no_deadline);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error(), c.error);
    EXPECT_EQ(servers[0]->query_count(), sent);
  }
}

TEST_F(ResolverTest, FormerrEndsTheExchangeAtOnce) {
  start(2);
  servers[0]->answer_others(rcode_answer(1));
  servers[1]->answer_others(txt_answer({"v=DMARC1; p=none"}));
  auto got = resolver().lookup_txt(k_name, k_no_deadline);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), Error::DnsServerFailure);
  EXPECT_EQ(servers[1]->query_count(), 0u);
}

TEST_F(ResolverTest, NxdomainIsCachedForTheNegativeTtl) {
  start(1);
  settings.negative_ttl = 10;
  LogLines log;
  auto got = resolver().lookup_txt(k_name, k_no_deadline);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), Error::DnsNameError);
  EXPECT_FALSE(log.has_prefix("dns: _dmarc.example.org refused"));
  g_now_s += 9;
  EXPECT_EQ(resolver().lookup_txt(k_name, k_no_deadline).error(), Error::DnsNameError);
  EXPECT_EQ(servers[0]->query_count(), 1u);
  g_now_s += 1;
  EXPECT_EQ(resolver().lookup_txt(k_name, k_no_deadline).error(), Error::DnsNameError);
  EXPECT_EQ(servers[0]->query_count(), 2u);
}

TEST_F(ResolverTest, NoerrorWithoutAnswersIsNotCached) {
  start(1);
  servers[0]->answer_others(rcode_answer(0));
  for (int i = 0; i < 2; ++i) {
    auto got = resolver().lookup_txt(k_name, k_no_deadline);
    ASSERT_TRUE(got);
    EXPECT_TRUE(got->empty());
  }
  EXPECT_EQ(servers[0]->query_count(), 2u);
}

TEST_F(ResolverTest, SilenceIsATimeoutAfterEveryAttemptOnEveryServer) {
  start(2);
  settings.retries = 1;
  settings.timeout_ms = 100;
  DnsBehaviour silent;
  silent.silent = true;
  for (auto &server : servers)
    server->answer_others(silent);
  LogLines log;
  const auto started = std::chrono::steady_clock::now();
  auto got = resolver().lookup_txt(k_name, k_no_deadline);
  const auto took = std::chrono::steady_clock::now() - started;
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), Error::DnsTimeout);
  EXPECT_EQ(servers[0]->query_count(), 2u);
  EXPECT_EQ(servers[1]->query_count(), 2u);
  EXPECT_GE(took, std::chrono::milliseconds(390));
  EXPECT_TRUE(log.has_prefix("dns: query _dmarc.example.org failed err=error.DnsTimeout elapsed="));
  // Cached as a timeout.
  EXPECT_EQ(resolver().lookup_txt(k_name, k_no_deadline).error(), Error::DnsTimeout);
  EXPECT_EQ(servers[0]->query_count() + servers[1]->query_count(), 4u);
  EXPECT_TRUE(log.has("dns: cache negative hit _dmarc.example.org kind=timeout"));
}

// A datagram too short to be a reply is dropped like any other that does not
// answer the question: a forged scrap cannot end the attempt early.
TEST_F(ResolverTest, ShortDatagramsAreDropped) {
  start(1);
  settings.retries = 0; // one attempt: a scrap must not end it
  DnsBehaviour short_reply;
  short_reply.udp_raw = std::string(11, '\0');
  servers[0]->answer_others(short_reply);
  EXPECT_EQ(resolver().lookup_txt(k_name, k_no_deadline).error(), Error::DnsTimeout);
  EXPECT_EQ(servers[0]->query_count(), 1u);

  DnsBehaviour after_scrap = txt_answer({"v=DMARC1; p=none"});
  DnsBehaviour scrap;
  scrap.udp_raw = std::string(11, '\0');
  scrap.raw_takes_id = false;
  after_scrap.decoys = {scrap};
  servers[0]->answer("_dmarc.example.net", after_scrap);
  servers[0]->clear_queries();
  EXPECT_TRUE(resolver().lookup_txt("_dmarc.example.net", k_no_deadline));
  EXPECT_EQ(servers[0]->query_count(), 1u);
}

TEST_F(ResolverTest, UndecodableRepliesAreFailuresNotCached) {
  struct Case {
    const char *what;
    DnsBehaviour behaviour;
    Error error;
  };
  DnsBehaviour loop;
  // Header with one answer whose owner is a pointer to itself.
  loop.udp_raw = std::string("\0\0\x81\x80\0\0\0\1\0\0\0\0\xC0\x0C", 14);
  DnsBehaviour garbage;
  // The question asked, then an answer whose owner's label runs past the end.
  garbage.udp_raw = std::string("\0\0\x81\x80\0\1\0\1\0\0\0\0"
                                "\x06_dmarc\x07"
                                "example\x03org\0\0\x10\0\x01"
                                "\x09"
                                "ABC",
                                40);
  const Case cases[] = {
      {"pointer loop", loop, Error::TooManyPointers},
      {"answer past the end", garbage, Error::PacketTooShort},
  };
  start(1);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    servers[0]->answer_others(c.behaviour);
    servers[0]->clear_queries();
    auto made = make_resolver(settings);
    ASSERT_TRUE(made);
    for (int i = 0; i < 2; ++i) {
      auto got = (*made)->lookup_txt(k_name, k_no_deadline);
      ASSERT_FALSE(got);
      EXPECT_EQ(got.error(), c.error);
    }
    EXPECT_EQ(servers[0]->query_count(), 2u);
  }
}

TEST_F(ResolverTest, TruncatedRepliesAreFetchedAgainOverTcp) {
  start(2);
  // Over 1232 bytes: the server truncates over UDP on its own.
  std::vector<std::string> strings(6, std::string(250, 'x'));
  strings[0] = "v=DMARC1; p=reject; " + std::string(230, 'r');
  for (auto &server : servers)
    server->answer(k_name, txt_answer(strings));
  LogLines log;
  auto got = resolver().lookup_txt(k_name, k_no_deadline);
  ASSERT_TRUE(got) << error_name(got.error());
  ASSERT_EQ(got->size(), 1u);
  EXPECT_EQ((*got)[0].data.size(), 1500u);
  EXPECT_TRUE((*got)[0].data.starts_with("v=DMARC1; p=reject; "));
  EXPECT_TRUE(log.has("dns: _dmarc.example.org truncated over udp, retrying over tcp"));
  // The TCP retry starts with the server after the one that sent the
  // truncated reply, and sends the same ID.
  ASSERT_EQ(servers[0]->queries().size(), 1u);
  ASSERT_EQ(servers[1]->queries().size(), 1u);
  EXPECT_EQ(servers[0]->queries()[0].transport, DnsTransport::udp);
  EXPECT_EQ(servers[1]->queries()[0].transport, DnsTransport::tcp);
  EXPECT_EQ(servers[0]->queries()[0].id, servers[1]->queries()[0].id);
}

TEST_F(ResolverTest, TruncatedAnswersStandWhenTcpFails) {
  test::DnsServerOptions no_tcp;
  no_tcp.tcp = false;
  start(1, no_tcp);
  DnsBehaviour truncated = txt_answer({"v=DMARC1; p=quarantine"});
  truncated.truncate = true;
  truncated.truncated_keeps_answers = true;
  servers[0]->answer(k_name, truncated);
  LogLines log;
  auto got = resolver().lookup_txt(k_name, k_no_deadline);
  ASSERT_TRUE(got) << error_name(got.error());
  ASSERT_EQ(got->size(), 1u);
  EXPECT_EQ((*got)[0].data, "v=DMARC1; p=quarantine");
  EXPECT_TRUE(log.has("dns: _dmarc.example.org truncated over udp, retrying over tcp"));
  EXPECT_TRUE(log.has("dns: tcp retry for _dmarc.example.org failed err=error.DnsTimeout"));
  ASSERT_TRUE(resolver().lookup_txt(k_name, k_no_deadline)); // cached
  EXPECT_EQ(servers[0]->query_count(), 1u);
}

TEST_F(ResolverTest, UnparseableTcpReplyLeavesTheUdpReply) {
  start(1);
  DnsBehaviour truncated = txt_answer({"v=DMARC1; p=none"});
  truncated.truncate = true;
  truncated.truncated_keeps_answers = true;
  // The question asked, then one answer whose owner (at offset 36) points to
  // itself.
  truncated.tcp_raw = std::string("\0\0\x81\x80\0\1\0\1\0\0\0\0"
                                  "\x06_dmarc\x07"
                                  "example\x03org\0\0\x10\0\x01"
                                  "\xC0\x24",
                                  38);
  servers[0]->answer(k_name, truncated);
  LogLines log;
  auto got = resolver().lookup_txt(k_name, k_no_deadline);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->size(), 1u);
  EXPECT_TRUE(
      log.has("dns: tcp reply for _dmarc.example.org unparseable err=error.TooManyPointers"));
  EXPECT_EQ(count_of(*servers[0], DnsTransport::tcp), 1u);
}

TEST_F(ResolverTest, SilentTcpPeerIsBoundedByTheTimeout) {
  start(1);
  settings.timeout_ms = 200;
  DnsBehaviour truncated = txt_answer({"v=DMARC1; p=none"});
  truncated.truncate = true;
  truncated.truncated_keeps_answers = true;
  truncated.tcp_silent = true;
  servers[0]->answer(k_name, truncated);
  const auto started = std::chrono::steady_clock::now();
  auto got = resolver().lookup_txt(k_name, k_no_deadline);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  ASSERT_TRUE(got);
  EXPECT_EQ(got->size(), 1u);
}

TEST_F(ResolverTest, MonitorViewGatesAndSkipsServers) {
  start(2);
  for (auto &server : servers)
    server->answer_others(txt_answer({"v=DMARC1; p=none"}));
  std::atomic<std::uint8_t> up[2] = {0, 0};
  MonitorView view{up, 2};
  settings.monitor = &view;
  LogLines log;
  auto got = resolver().lookup_txt(k_name, k_no_deadline);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), Error::DnsNoHealthyServers);
  EXPECT_TRUE(
      log.has("dns: _dmarc.example.org not queried, all nameservers marked down (monitor)"));
  EXPECT_EQ(servers[0]->query_count() + servers[1]->query_count(), 0u);

  up[1] = 1; // only the second is up; not cached, so the next lookup asks it
  ASSERT_TRUE(resolver().lookup_txt(k_name, k_no_deadline));
  ASSERT_TRUE(resolver().lookup_txt("_dmarc.other.example", k_no_deadline));
  EXPECT_EQ(servers[0]->query_count(), 0u);
  EXPECT_EQ(servers[1]->query_count(), 2u);
}

TEST_F(ResolverTest, OutOfMemoryIsReportedByNameAndLeaksNothing) {
  start(1);
  servers[0]->answer_others(txt_answer({"v=DMARC1; p=none"}));
  bool succeeded = false;
  for (long allowed = 0; !succeeded; ++allowed) {
    SCOPED_TRACE(allowed);
    test::LimitedResource limited(allowed);
    {
      auto made = make_resolver(settings, &limited);
      if (made) {
        auto got = (*made)->lookup_txt("_dmarc.example.org", k_no_deadline);
        succeeded = got.has_value();
        if (!succeeded) {
          EXPECT_EQ(got.error(), Error::OutOfMemory);
        }
      } else {
        EXPECT_EQ(made.error(), Error::OutOfMemory);
      }
    }
    EXPECT_EQ(limited.outstanding(), 0);
    ASSERT_LT(allowed, 200);
  }
}

TEST_F(ResolverTest, Ipv6Nameserver) {
  test::DnsServerOptions options;
  options.address = "::1";
  DnsServer server(options);
  server.answer(k_name, txt_answer({"v=DMARC1; p=none"}));
  settings.nameservers = {"::1"};
  settings.port = server.port();
  auto got = resolver().lookup_txt(k_name, k_no_deadline);
  ASSERT_TRUE(got) << error_name(got.error());
  EXPECT_EQ(got->size(), 1u);
}

// Datagrams that are not the reply to the question asked are dropped and the
// attempt waits on for the reply; nothing is sent again.
TEST_F(ResolverTest, RepliesToOtherQuestionsAreIgnored) {
  struct Case {
    const char *what;
    DnsBehaviour decoy;
  };
  const auto forged = [] { return txt_answer({"v=DMARC1; p=none"}); };
  Case cases[] = {{"other ID", forged()},    {"QR clear", forged()},
                  {"other name", forged()},  {"other type", forged()},
                  {"other class", forged()}, {"no question, other ID", test::rcode_answer(5)}};
  cases[0].decoy.id_xor = 0x0001;
  cases[1].decoy.qr_clear = true;
  cases[2].decoy.question_name = "_dmarc.example.net";
  cases[3].decoy.question_type = 1;
  cases[4].decoy.question_class = 3;
  cases[5].decoy.no_question = true;
  cases[5].decoy.id_xor = 0x8000;
  start(1);
  settings.timeout_ms = 2000;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    DnsBehaviour reply = txt_answer({"v=DMARC1; p=reject"});
    reply.decoys = {c.decoy, c.decoy};
    reply.delay = std::chrono::milliseconds(30);
    servers[0]->answer(k_name, reply);
    servers[0]->clear_queries();
    auto made = make_resolver(settings);
    ASSERT_TRUE(made);
    const auto started = std::chrono::steady_clock::now();
    auto got = (*made)->lookup_txt(k_name, k_no_deadline);
    ASSERT_TRUE(got) << error_name(got.error());
    ASSERT_EQ(got->size(), 1u);
    EXPECT_EQ((*got)[0].data, "v=DMARC1; p=reject");
    EXPECT_EQ(servers[0]->query_count(), 1u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));
  }
}

// Only forged datagrams: the attempts run their course and the lookup times
// out as if the server had been silent.
TEST_F(ResolverTest, OnlyRepliesToOtherQuestionsIsATimeout) {
  start(1);
  settings.retries = 1;
  settings.timeout_ms = 100;
  DnsBehaviour forged = txt_answer({"v=DMARC1; p=none"});
  forged.id_xor = 0x0101;
  DnsBehaviour silent;
  silent.silent = true;
  silent.decoys = {forged};
  servers[0]->answer(k_name, silent);
  const auto started = std::chrono::steady_clock::now();
  auto got = resolver().lookup_txt(k_name, k_no_deadline);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), Error::DnsTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(190));
  EXPECT_EQ(servers[0]->query_count(), 2u);
}

// A question compared without regard to case, and a reply without a
// question, are the reply; the RCODE of the latter keeps its meaning.
TEST_F(ResolverTest, RepliesThatAnswerTheQuestion) {
  start(1);
  DnsBehaviour other_case = txt_answer({"v=DMARC1; p=none"});
  other_case.question_name = "_DMARC.Example.ORG";
  servers[0]->answer(k_name, other_case);
  auto got = resolver().lookup_txt(k_name, k_no_deadline);
  ASSERT_TRUE(got) << error_name(got.error());
  EXPECT_EQ(got->size(), 1u);

  const struct {
    std::uint8_t rcode;
    const char *warning;
  } empty_questions[] = {
      {1, "dns: x.example refused, rcode=format_error from all nameservers"},
      {5, "dns: x.example refused, rcode=refused from all nameservers"},
  };
  for (const auto &c : empty_questions) {
    DnsBehaviour reply = test::rcode_answer(c.rcode);
    reply.no_question = true;
    servers[0]->answer("x.example", reply);
    auto made = make_resolver(settings);
    ASSERT_TRUE(made);
    LogLines log;
    auto refused = (*made)->lookup_txt("x.example", k_no_deadline);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), Error::DnsServerFailure);
    EXPECT_TRUE(log.has(c.warning)) << int{c.rcode};
  }
}

// Records about names the question did not ask for, and did not lead to
// through a CNAME, are not handed over or cached.
TEST_F(ResolverTest, RecordsOfOtherOwnersAreDropped) {
  start(1);
  const auto record = [](std::string owner, std::uint16_t type, std::string value) {
    DnsRecord r;
    r.owner = std::move(owner);
    r.type = type;
    if (type == 5)
      r.target = std::move(value);
    else
      r.strings = {std::move(value)};
    return r;
  };
  DnsBehaviour reply;
  reply.answers = {record("_dmarc.evil.example", 16, "v=DMARC1; p=none"),
                   record("", 16, "v=DMARC1; p=reject"),
                   record("_DMARC.example.org", 5, "alias.example.net"),
                   record("alias.example.net", 16, "via the alias"),
                   record("other.example.net", 5, "_dmarc.example.org"),
                   record("other.example.net", 16, "not asked for")};
  servers[0]->answer(k_name, reply);
  for (int pass = 0; pass < 2; ++pass) { // from the server, then from the cache
    SCOPED_TRACE(pass);
    auto got = resolver().lookup_txt("_dmarc.example.org.", k_no_deadline);
    ASSERT_TRUE(got) << error_name(got.error());
    std::vector<std::string> kept;
    for (const auto &answer : *got)
      kept.push_back(std::string(answer.name) + " " + std::string(answer.data));
    EXPECT_EQ(kept, (std::vector<std::string>{"_dmarc.example.org v=DMARC1; p=reject",
                                              "_DMARC.example.org alias.example.net",
                                              "alias.example.net via the alias"}));
  }
  EXPECT_EQ(servers[0]->query_count(), 1u);

  // Nothing but other owners: an answer without records, not cached.
  DnsBehaviour foreign;
  foreign.answers = {record("_dmarc.evil.example", 16, "v=DMARC1; p=none")};
  servers[0]->answer("_dmarc.other.example", foreign);
  for (int i = 0; i < 2; ++i) {
    auto got = resolver().lookup_txt("_dmarc.other.example", k_no_deadline);
    ASSERT_TRUE(got);
    EXPECT_TRUE(got->empty());
  }
  EXPECT_EQ(servers[0]->query_count(), 3u);
}

TEST_F(ResolverTest, QueryIdsAreNotSequential) {
  start(1);
  for (int i = 0; i < 8; ++i)
    ASSERT_FALSE(resolver().lookup_txt("_dmarc.l" + std::to_string(i) + ".example", k_no_deadline));
  const auto queries = servers[0]->queries();
  ASSERT_EQ(queries.size(), 8u);
  std::size_t in_sequence = 0;
  for (std::size_t i = 1; i < queries.size(); ++i)
    in_sequence += queries[i].id == static_cast<std::uint16_t>(queries[i - 1].id + 1) ? 1 : 0;
  EXPECT_LT(in_sequence, queries.size() - 1);
}

// A reply longer than the 4096-byte buffer arrives cut: it is taken as
// truncated and fetched again over TCP.
TEST_F(ResolverTest, DatagramLongerThanTheBufferGoesToTcp) {
  test::DnsServerOptions large;
  large.udp_limit = 65000; // the server sends it whole over UDP
  start(1, large);
  const std::vector<std::string> strings(20, std::string(250, 'x'));
  servers[0]->answer(k_name, txt_answer(strings));
  LogLines log;
  auto got = resolver().lookup_txt(k_name, k_no_deadline);
  ASSERT_TRUE(got) << error_name(got.error());
  ASSERT_EQ(got->size(), 1u);
  EXPECT_EQ((*got)[0].data.size(), 5000u);
  EXPECT_TRUE(log.has("dns: _dmarc.example.org truncated over udp, retrying over tcp"));
  EXPECT_EQ(count_of(*servers[0], DnsTransport::udp), 1u);
  EXPECT_EQ(count_of(*servers[0], DnsTransport::tcp), 1u);
}

// What a truncated reply means when TCP cannot replace it: answers stand,
// other RCODEs keep their meaning, and a NOERROR without answers (how servers
// truncate) is a DNS failure, cached like a timeout.
TEST_F(ResolverTest, TruncatedReplyThatTcpCannotReplace) {
  struct Case {
    const char *what;
    DnsBehaviour reply;
    Error error; // Unexpected: answers expected
    const char *negative_hit;
  };
  DnsBehaviour empty;
  empty.truncate = true;
  DnsBehaviour nxdomain = test::rcode_answer(3);
  nxdomain.truncate = true;
  DnsBehaviour servfail = test::rcode_answer(2);
  servfail.truncate = true;
  DnsBehaviour with_answers = txt_answer({"v=DMARC1; p=none"});
  with_answers.truncate = true;
  with_answers.truncated_keeps_answers = true;
  const Case cases[] = {
      {"no answers", empty, Error::DnsTimeout, "kind=timeout"},
      {"NXDOMAIN", nxdomain, Error::DnsNameError, "kind=name_error"},
      {"SERVFAIL", servfail, Error::DnsServerFailure, "kind=server_failure"},
      {"answers", with_answers, Error::Unexpected, nullptr},
  };
  test::DnsServerOptions no_tcp;
  no_tcp.tcp = false; // connections are refused
  start(1, no_tcp);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    servers[0]->answer_others(c.reply);
    servers[0]->clear_queries();
    auto made = make_resolver(settings);
    ASSERT_TRUE(made);
    LogLines log;
    auto got = (*made)->lookup_txt(k_name, k_no_deadline);
    if (c.error == Error::Unexpected) {
      ASSERT_TRUE(got);
      EXPECT_EQ(got->size(), 1u);
    } else {
      ASSERT_FALSE(got);
      EXPECT_EQ(got.error(), c.error);
    }
    EXPECT_TRUE(log.has("dns: tcp retry for _dmarc.example.org failed err=error.DnsTimeout"));
    if (c.error == Error::DnsTimeout) {
      EXPECT_TRUE(
          log.has_prefix("dns: query _dmarc.example.org failed err=error.DnsTimeout elapsed="));
    }
    // Every outcome was cached: the next lookup sends nothing.
    (void)(*made)->lookup_txt(k_name, k_no_deadline);
    EXPECT_EQ(servers[0]->query_count(), 1u);
    if (c.negative_hit) {
      EXPECT_TRUE(
          log.has(std::string("dns: cache negative hit _dmarc.example.org ") + c.negative_hit));
    }
  }
}

// A TCP reply to another question sends the retry on to the next server.
TEST_F(ResolverTest, TcpReplyToAnotherQuestionMovesOn) {
  struct Case {
    const char *what;
    DnsBehaviour second;
  };
  const auto full = [] {
    DnsBehaviour b = txt_answer({"v=DMARC1; p=reject"});
    b.truncate = true; // UDP replies come truncated and empty
    return b;
  };
  Case cases[] = {{"other ID", full()}, {"other name", full()}};
  cases[0].second.id_xor = 0x0100;
  cases[1].second.question_name = "_dmarc.example.net";
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    servers.clear();
    settings.nameservers.clear();
    start(2);
    servers[0]->answer(k_name, full());
    servers[1]->answer(k_name, c.second);
    auto made = make_resolver(settings);
    ASSERT_TRUE(made);
    auto got = (*made)->lookup_txt(k_name, k_no_deadline);
    ASSERT_TRUE(got) << error_name(got.error());
    ASSERT_EQ(got->size(), 1u);
    EXPECT_EQ((*got)[0].data, "v=DMARC1; p=reject");
    // UDP to the first, TCP to the second (its reply dropped), then the first.
    EXPECT_EQ(count_of(*servers[0], DnsTransport::udp), 1u);
    EXPECT_EQ(count_of(*servers[1], DnsTransport::tcp), 1u);
    EXPECT_EQ(count_of(*servers[0], DnsTransport::tcp), 1u);
  }
}

// The evaluation's deadline bounds every wait; a lookup it cuts short is
// DnsTimeout and is not remembered.
TEST_F(ResolverTest, DeadlineBoundsTheLookup) {
  struct Case {
    const char *what;
    std::size_t servers;
    DnsBehaviour first;
    DnsBehaviour second;
  };
  DnsBehaviour silent;
  silent.silent = true;
  DnsBehaviour truncated_tcp_silent;
  truncated_tcp_silent.truncate = true;
  truncated_tcp_silent.tcp_silent = true;
  const Case cases[] = {
      {"silent server", 1, silent, {}},
      {"SERVFAIL, then a silent server", 2, test::rcode_answer(2), silent},
      {"truncated, then a silent TCP peer", 1, truncated_tcp_silent, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    servers.clear();
    settings.nameservers.clear();
    settings.timeout_ms = 5000;
    settings.retries = 2;
    start(c.servers);
    servers[0]->answer_others(c.first);
    if (c.servers > 1) servers[1]->answer_others(c.second);
    auto made = make_resolver(settings);
    ASSERT_TRUE(made);
    LogLines log;
    const auto started = std::chrono::steady_clock::now();
    auto got = (*made)->lookup_txt(k_name, realtime_ms() + 150);
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error(), Error::DnsTimeout);
    EXPECT_GE(took, std::chrono::milliseconds(140));
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    EXPECT_FALSE((*made)->cache().contains(k_name));
    EXPECT_TRUE(log.has_prefix("dns: query _dmarc.example.org failed err=error.DnsTimeout"));
  }
}

TEST_F(ResolverTest, NothingIsSentAfterTheDeadline) {
  start(1);
  servers[0]->answer(k_name, txt_answer({"v=DMARC1; p=none"}));
  LogLines log;
  auto late = resolver().lookup_txt(k_name, realtime_ms());
  ASSERT_FALSE(late);
  EXPECT_EQ(late.error(), Error::DnsTimeout);
  EXPECT_EQ(servers[0]->query_count(), 0u);
  EXPECT_FALSE(log.has_prefix("dns: query"));
  // A fresh cache entry costs no waiting: it is used whatever the deadline.
  ASSERT_TRUE(resolver().lookup_txt(k_name, k_no_deadline));
  auto cached = resolver().lookup_txt(k_name, realtime_ms() - 1000);
  ASSERT_TRUE(cached);
  EXPECT_EQ(cached->size(), 1u);
  EXPECT_EQ(servers[0]->query_count(), 1u);
}

TEST(MakeResolver, NameserverTexts) {
  struct Case {
    const char *text;
    bool valid;
  };
  const Case cases[] = {{"127.0.0.1", true},
                        {"::1", true},
                        {"2001:db8::53", true},
                        {"::ffff:192.0.2.1", true},
                        {"localhost", false},
                        {"127.0.0.01", false},
                        {"", false},
                        {"192.0.2.1:53", false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    ResolverSettings settings;
    settings.nameservers = {"127.0.0.1", c.text};
    auto made = make_resolver(settings);
    if (c.valid) {
      EXPECT_TRUE(made);
    } else {
      ASSERT_FALSE(made);
      EXPECT_EQ(made.error(), Error::InvalidNameserver);
    }
  }
}

TEST(MakeResolver, SettingsAndTheirZeroValues) {
  ResolverSettings settings;
  settings.nameservers = {"127.0.0.1"};
  settings.port = 5353;
  settings.timeout_ms = 0; // would mean no timeout at all on the socket
  settings.cache_size = 0;
  settings.negative_ttl = 0;
  auto made = make_resolver(settings);
  ASSERT_TRUE(made);
  EXPECT_EQ((*made)->timeout_ms(), 5000u);
  EXPECT_EQ((*made)->port(), 5353);
  EXPECT_EQ((*made)->configured_cache_size(), 0u);
  EXPECT_EQ((*made)->cache().capacity(), 1000u);
  EXPECT_EQ((*made)->cache().negative_ttl(), 60u);
}

TEST(MakeResolver, NoNameserversMeansTimeout) {
  ResolverSettings settings;
  auto made = make_resolver(settings);
  ASSERT_TRUE(made);
  test::StderrCapture capture;
  auto got = (*made)->lookup_txt("_dmarc.example.org", k_no_deadline);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), Error::DnsTimeout);
}

TEST(ThreadResolver, OnePerThreadUntilDropped) {
  ResolverSettings settings;
  settings.nameservers = {"127.0.0.1", "not-an-address"};
  install_thread_resolver_settings(settings);
  Resolver *first = nullptr;
  {
    test::StderrCapture capture;
    first = &thread_resolver();
    EXPECT_NE(capture.text().find("DNS resolver: invalid nameserver address"), std::string::npos);
  }
  EXPECT_EQ(&thread_resolver(), first);
  Resolver *other = nullptr;
  std::thread([&] {
    test::StderrCapture capture;
    other = &thread_resolver();
    drop_thread_resolver();
  }).join();
  EXPECT_NE(other, first);
  drop_thread_resolver();
  test::StderrCapture capture;
  (void)thread_resolver(); // a fresh one is built on demand
  drop_thread_resolver();
}

} // namespace
} // namespace corvane::dns
