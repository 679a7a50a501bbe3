#include "dns/resolver.hpp"
#include "dns/thread_resolver.hpp"
#include "log/log.hpp"
#include "support/dns_server.hpp"
#include "support/stderr_capture.hpp"
#include "unit/dns/limited_resource.hpp"

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
std::int64_t g_now_ms = 0;
std::int64_t clock_s() noexcept { return g_now_s; }
std::int64_t clock_ms() noexcept { return g_now_ms; }

constexpr const char *k_name = "_dmarc.example.org";

// The messages written to standard error, without the "ident[pid]: " prefix.
class LogLines {
public:
  LogLines() {
    auto settings = log::check_tool_log_settings();
    settings.level = 7;
    settings.set_ident("t");
    log::install_log_settings(settings);
    log::open_log_connection();
  }
  ~LogLines() { log::install_log_settings(log::check_tool_log_settings()); }

  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::istringstream in(capture_.text());
    const std::string prefix = "t[" + std::to_string(::getpid()) + "]: ";
    for (std::string line; std::getline(in, line);)
      out.push_back(line.starts_with(prefix) ? line.substr(prefix.size()) : line);
    return out;
  }
  bool has(const std::string &line) const {
    const auto all = lines();
    return std::find(all.begin(), all.end(), line) != all.end();
  }
  bool has_prefix(const std::string &start) const {
    for (const auto &line : lines())
      if (line.starts_with(start)) return true;
    return false;
  }

private:
  test::StderrCapture capture_;
};

std::size_t count_of(const DnsServer &server, DnsTransport transport) {
  std::size_t n = 0;
  for (const auto &q : server.queries())
    n += q.transport == transport ? 1 : 0;
  return n;
}

class ResolverTest : public ::testing::Test {
protected:
  void SetUp() override {
    g_now_s = 2'000'000'000;
    g_now_ms = 0x10000 * 7 + 100; // first query ID 100
  }

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
    s.clock_ms = &clock_ms;
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

  auto first = resolver().lookup_txt(k_name);
  ASSERT_TRUE(first) << error_name(first.error());
  ASSERT_EQ(first->size(), 2u);
  EXPECT_EQ((*first)[0].data, "v=DMARC1; p=reject");
  EXPECT_EQ((*first)[0].ttl, 3600u);
  EXPECT_EQ((*first)[1].type, 5);
  EXPECT_EQ((*first)[1].data, "elsewhere.example");

  LogLines log;
  auto again = resolver().lookup_txt("_DMARC.example.ORG");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->size(), 2u);
  EXPECT_EQ(servers[0]->query_count(), 1u);
  EXPECT_TRUE(log.has("dns: cache hit _DMARC.example.ORG"));

  g_now_s += 40; // the CNAME's TTL bounds the entry
  ASSERT_TRUE(resolver().lookup_txt(k_name));
  EXPECT_EQ(servers[0]->query_count(), 2u);
}

TEST_F(ResolverTest, RotationMovesPastTheServerThatAnswered) {
  start(2);
  for (auto &server : servers)
    server->answer_others(txt_answer({"v=DMARC1; p=none"}));
  ASSERT_TRUE(resolver().lookup_txt("_dmarc.a.example"));
  EXPECT_EQ(resolver().rotation_start(), 1u);
  ASSERT_TRUE(resolver().lookup_txt("_dmarc.b.example"));
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
  ASSERT_TRUE(resolver().lookup_txt(k_name));
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
  auto got = resolver().lookup_txt(k_name);
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
  auto got = resolver().lookup_txt(k_name);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), Error::DnsServerFailure);
  EXPECT_TRUE(log.has("dns: 127.0.0.1 returned rcode=2, trying next server"));
  EXPECT_TRUE(
      log.has("dns: _dmarc.example.org refused, rcode=server_failure from all nameservers"));
  // Cached as server_failure: nothing more is sent.
  auto again = resolver().lookup_txt(k_name);
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
    auto got = (*made)->lookup_txt("x.example");
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error(), c.error);
    if (c.warning)
      EXPECT_TRUE(log.has(c.warning));
    else
      EXPECT_FALSE(log.has_prefix("dns: x.example refused"));
    // Every one of these outcomes is cached: the second lookup sends nothing.
    const std::size_t sent = servers[0]->query_count();
    auto again = (*made)->lookup_txt("x.example");
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error(), c.error);
    EXPECT_EQ(servers[0]->query_count(), sent);
  }
}

TEST_F(ResolverTest, FormerrEndsTheExchangeAtOnce) {
  start(2);
  servers[0]->answer_others(rcode_answer(1));
  servers[1]->answer_others(txt_answer({"v=DMARC1; p=none"}));
  auto got = resolver().lookup_txt(k_name);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), Error::DnsServerFailure);
  EXPECT_EQ(servers[1]->query_count(), 0u);
}

TEST_F(ResolverTest, NxdomainIsCachedForTheNegativeTtl) {
  start(1);
  settings.negative_ttl = 10;
  LogLines log;
  auto got = resolver().lookup_txt(k_name);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), Error::DnsNameError);
  EXPECT_FALSE(log.has_prefix("dns: _dmarc.example.org refused"));
  g_now_s += 9;
  EXPECT_EQ(resolver().lookup_txt(k_name).error(), Error::DnsNameError);
  EXPECT_EQ(servers[0]->query_count(), 1u);
  g_now_s += 1;
  EXPECT_EQ(resolver().lookup_txt(k_name).error(), Error::DnsNameError);
  EXPECT_EQ(servers[0]->query_count(), 2u);
}

TEST_F(ResolverTest, NoerrorWithoutAnswersIsNotCached) {
  start(1);
  servers[0]->answer_others(rcode_answer(0));
  for (int i = 0; i < 2; ++i) {
    auto got = resolver().lookup_txt(k_name);
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
  auto got = resolver().lookup_txt(k_name);
  const auto took = std::chrono::steady_clock::now() - started;
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), Error::DnsTimeout);
  EXPECT_EQ(servers[0]->query_count(), 2u);
  EXPECT_EQ(servers[1]->query_count(), 2u);
  EXPECT_GE(took, std::chrono::milliseconds(390));
  EXPECT_TRUE(log.has_prefix("dns: query _dmarc.example.org failed err=error.DnsTimeout elapsed="));
  // Cached as a timeout.
  EXPECT_EQ(resolver().lookup_txt(k_name).error(), Error::DnsTimeout);
  EXPECT_EQ(servers[0]->query_count() + servers[1]->query_count(), 4u);
  EXPECT_TRUE(log.has("dns: cache negative hit _dmarc.example.org kind=timeout"));
}

TEST_F(ResolverTest, ShortDatagramsFailTheAttempt) {
  start(1);
  settings.retries = 1;
  DnsBehaviour short_reply;
  short_reply.udp_raw = std::string(11, '\0');
  servers[0]->answer_others(short_reply);
  EXPECT_EQ(resolver().lookup_txt(k_name).error(), Error::DnsTimeout);
  EXPECT_EQ(servers[0]->query_count(), 2u);
}

TEST_F(ResolverTest, UndecodableAndMismatchedRepliesAreFailuresNotCached) {
  struct Case {
    const char *what;
    DnsBehaviour behaviour;
    Error error;
  };
  DnsBehaviour wrong_id = txt_answer({"v=DMARC1; p=none"});
  wrong_id.id_xor = 0x0101;
  DnsBehaviour loop;
  // Header with one answer whose owner is a pointer to itself.
  loop.udp_raw = std::string("\0\0\x81\x80\0\0\0\1\0\0\0\0\xC0\x0C", 14);
  DnsBehaviour garbage;
  garbage.udp_raw = std::string("\0\0\x81\x80\0\x05\0\0\0\0\0\0\x09"
                                "ABC",
                                16);
  const Case cases[] = {
      {"wrong id", wrong_id, Error::DnsIdMismatch},
      {"pointer loop", loop, Error::TooManyPointers},
      {"questions past the end", garbage, Error::PacketTooShort},
  };
  start(1);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    servers[0]->answer_others(c.behaviour);
    servers[0]->clear_queries();
    auto made = make_resolver(settings);
    ASSERT_TRUE(made);
    for (int i = 0; i < 2; ++i) {
      auto got = (*made)->lookup_txt(k_name);
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
  auto got = resolver().lookup_txt(k_name);
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
  auto got = resolver().lookup_txt(k_name);
  ASSERT_TRUE(got) << error_name(got.error());
  ASSERT_EQ(got->size(), 1u);
  EXPECT_EQ((*got)[0].data, "v=DMARC1; p=quarantine");
  EXPECT_TRUE(log.has("dns: _dmarc.example.org truncated over udp, retrying over tcp"));
  EXPECT_TRUE(log.has("dns: tcp retry for _dmarc.example.org failed err=error.DnsTimeout"));
  ASSERT_TRUE(resolver().lookup_txt(k_name)); // cached
  EXPECT_EQ(servers[0]->query_count(), 1u);
}

TEST_F(ResolverTest, UnparseableTcpReplyLeavesTheUdpReply) {
  start(1);
  DnsBehaviour truncated = txt_answer({"v=DMARC1; p=none"});
  truncated.truncate = true;
  truncated.truncated_keeps_answers = true;
  truncated.tcp_raw = std::string("\0\0\x81\x80\0\1\0\0\0\0\0\0", 12); // a question is missing
  servers[0]->answer(k_name, truncated);
  LogLines log;
  auto got = resolver().lookup_txt(k_name);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->size(), 1u);
  EXPECT_TRUE(
      log.has("dns: tcp reply for _dmarc.example.org unparseable err=error.PacketTooShort"));
  EXPECT_EQ(count_of(*servers[0], DnsTransport::tcp), 1u);
}

TEST_F(ResolverTest, SilentTcpPeerIsBoundedByTheTimeout) {
  start(1);
  settings.timeout_ms = 200;
  DnsBehaviour truncated;
  truncated.truncate = true;
  truncated.tcp_silent = true;
  servers[0]->answer(k_name, truncated);
  const auto started = std::chrono::steady_clock::now();
  auto got = resolver().lookup_txt(k_name);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->empty());
}

TEST_F(ResolverTest, QueryIdsCountUpAndWrapAndCacheHitsTakeNone) {
  start(1);
  servers[0]->answer_others(txt_answer({"v=DMARC1; p=none"}));
  g_now_ms = 0x10000 * 3 + 65534;
  EXPECT_EQ(resolver().next_query_id(), 65534);
  ASSERT_TRUE(resolver().lookup_txt("a.example"));
  ASSERT_TRUE(resolver().lookup_txt("a.example")); // cache hit
  ASSERT_TRUE(resolver().lookup_txt("b.example"));
  EXPECT_EQ(resolver().lookup_txt("bad..name").error(), Error::EmptyLabel); // takes an ID
  ASSERT_TRUE(resolver().lookup_txt("c.example"));
  const auto queries = servers[0]->queries();
  ASSERT_EQ(queries.size(), 3u);
  EXPECT_EQ(queries[0].id, 65534);
  EXPECT_EQ(queries[1].id, 65535);
  EXPECT_EQ(queries[2].id, 1);
  EXPECT_EQ(queries[2].name, "c.example");
  EXPECT_EQ(queries[2].type, 16);
}

TEST_F(ResolverTest, MonitorViewGatesAndSkipsServers) {
  start(2);
  for (auto &server : servers)
    server->answer_others(txt_answer({"v=DMARC1; p=none"}));
  std::atomic<std::uint8_t> up[2] = {0, 0};
  MonitorView view{up, 2};
  settings.monitor = &view;
  LogLines log;
  auto got = resolver().lookup_txt(k_name);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), Error::DnsNoHealthyServers);
  EXPECT_TRUE(
      log.has("dns: _dmarc.example.org not queried, all nameservers marked down (monitor)"));
  EXPECT_EQ(servers[0]->query_count() + servers[1]->query_count(), 0u);

  up[1] = 1; // only the second is up; not cached, so the next lookup asks it
  ASSERT_TRUE(resolver().lookup_txt(k_name));
  ASSERT_TRUE(resolver().lookup_txt("_dmarc.other.example"));
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
        auto got = (*made)->lookup_txt("_dmarc.example.org");
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
  auto got = resolver().lookup_txt(k_name);
  ASSERT_TRUE(got) << error_name(got.error());
  EXPECT_EQ(got->size(), 1u);
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
  auto got = (*made)->lookup_txt("_dmarc.example.org");
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
