#include "dns/health_monitor.hpp"
#include "dns/resolver.hpp"
#include "support/dns_server.hpp"
#include "support/wait_until.hpp"
#include "unit/dns/log_lines.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace corvane::dns {
namespace {

using namespace std::chrono_literals;
using test::DnsBehaviour;
using test::DnsServer;
using test::LogLines;
using test::silent_answer;
using test::wait_until;

// Probes answered by nobody take 150 ms; cycles start 100 ms apart.
HealthMonitorOptions quick_options(std::uint16_t port) {
  HealthMonitorOptions options;
  options.sleep_slices = 4;
  options.slice_ms = 25;
  options.probe_timeout_ms = 150;
  options.port = port;
  return options;
}

// The probe asks NS for the root name, which the server logs as "".
std::size_t probes_seen(const DnsServer &server) {
  std::size_t count = 0;
  for (const auto &query : server.queries())
    count += query.name.empty() && query.type == 2 ? 1 : 0;
  return count;
}

std::size_t lookups_seen(const DnsServer &server) {
  return server.queries().size() - probes_seen(server);
}

class HealthMonitorTest : public ::testing::Test {
protected:
  // Servers on 127.0.0.1, 127.0.0.2, ... sharing one port.
  void start_servers(std::size_t count) {
    std::vector<std::string> addresses;
    for (std::size_t i = 0; i < count; ++i)
      addresses.push_back("127.0.0." + std::to_string(i + 1));
    servers = DnsServer::start_group(addresses);
    for (auto &server : servers) {
      nameservers.push_back(server->address());
      server->answer_others(test::txt_answer({"v=DMARC1; p=none"}));
    }
  }

  std::unique_ptr<HealthMonitor> start_monitor() {
    return start_health_monitor(nameservers, quick_options(servers.front()->port()));
  }

  std::unique_ptr<Resolver> resolver_for(const HealthMonitor &monitor) {
    ResolverSettings settings;
    settings.nameservers = nameservers;
    settings.port = servers.front()->port();
    settings.timeout_ms = 150;
    settings.retries = 0;
    settings.monitor = &monitor.view();
    auto made = make_resolver(settings);
    if (!made) throw std::runtime_error(std::string(error_name(made.error())));
    return std::move(*made);
  }

  std::vector<std::unique_ptr<DnsServer>> servers;
  std::vector<std::string> nameservers;
};

TEST_F(HealthMonitorTest, SilentServerGoesDownOnItsSecondFailedProbeAndComesBack) {
  start_servers(1);
  DnsServer &server = *servers[0];
  auto monitor = start_monitor();
  ASSERT_TRUE(monitor);
  EXPECT_TRUE(monitor->started());
  ASSERT_TRUE(wait_until([&] { return probes_seen(server) >= 1; }));
  EXPECT_EQ(server.queries().front().id, 1); // the fixed probe
  EXPECT_TRUE(monitor->server_up(0));
  EXPECT_FALSE(monitor->server_up(1)); // beyond the list

  server.answer("", silent_answer());
  ASSERT_TRUE(wait_until([&] { return monitor->failures(0) >= 1; }));
  EXPECT_EQ(monitor->failures(0), 1);
  EXPECT_TRUE(monitor->server_up(0)) << "one lost reply must not take a server out";
  ASSERT_TRUE(wait_until([&] { return !monitor->server_up(0); }));
  EXPECT_GE(monitor->failures(0), 2);
  EXPECT_FALSE(monitor->view().any_up());

  // Every server down: the lookup is refused at once, nothing is sent.
  auto resolver = resolver_for(*monitor);
  {
    LogLines log;
    const auto answer = resolver->lookup_txt("_dmarc.example.org", k_no_deadline);
    ASSERT_FALSE(answer);
    EXPECT_EQ(answer.error(), Error::DnsNoHealthyServers);
    EXPECT_TRUE(
        log.has("dns: _dmarc.example.org not queried, all nameservers marked down (monitor)"));
  }
  EXPECT_EQ(lookups_seen(server), 0u);

  // The first answered probe brings it back.
  server.answer("", test::rcode_answer(0));
  ASSERT_TRUE(wait_until([&] { return monitor->server_up(0); }));
  EXPECT_EQ(monitor->failures(0), 0);
  EXPECT_TRUE(resolver->lookup_txt("_dmarc.example.org", k_no_deadline));
  EXPECT_EQ(lookups_seen(server), 1u);
  stop_health_monitor(std::move(monitor));
}

TEST_F(HealthMonitorTest, LookupsSkipADeadFirstServer) {
  start_servers(2);
  servers[0]->answer_others(silent_answer());
  auto monitor = start_monitor();
  ASSERT_TRUE(monitor);
  ASSERT_TRUE(wait_until([&] { return !monitor->server_up(0); }));
  EXPECT_TRUE(monitor->server_up(1));

  // The rotation starts at the dead server; without the monitor every
  // lookup would first wait out its timeout there.
  auto resolver = resolver_for(*monitor);
  for (const char *name : {"_dmarc.a.example", "_dmarc.b.example", "_dmarc.c.example"})
    EXPECT_TRUE(resolver->lookup_txt(name, k_no_deadline)) << name;
  EXPECT_EQ(lookups_seen(*servers[0]), 0u);
  EXPECT_EQ(lookups_seen(*servers[1]), 3u);
}

// Any datagram of a DNS header or more shows the server is alive, whatever
// it says; less than that is a failed probe.
TEST_F(HealthMonitorTest, WhatCountsAsAnAnswer) {
  struct Case {
    const char *name;
    DnsBehaviour behaviour;
    bool up;
  };
  DnsBehaviour wrong_id = test::rcode_answer(0);
  wrong_id.id_xor = 0x5555;
  DnsBehaviour header_only;
  header_only.udp_raw = std::string(12, '\0');
  DnsBehaviour too_short;
  too_short.udp_raw = std::string(11, '\0');
  const std::vector<Case> cases = {
      {"refused", test::rcode_answer(5), true},  {"servfail", test::rcode_answer(2), true},
      {"nxdomain", test::rcode_answer(3), true}, {"wrong_id", wrong_id, true},
      {"header_only", header_only, true},        {"eleven_bytes", too_short, false},
      {"silent", silent_answer(), false},
  };
  start_servers(cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i)
    servers[i]->answer("", cases[i].behaviour);
  // More than 8 servers are refused: test them in two monitors.
  std::vector<std::unique_ptr<HealthMonitor>> monitors;
  const std::vector<std::string> all = nameservers;
  nameservers.assign(all.begin(), all.begin() + 4);
  monitors.push_back(start_monitor());
  nameservers.assign(all.begin() + 4, all.end());
  monitors.push_back(start_monitor());
  ASSERT_TRUE(monitors[0] && monitors[1]);
  ASSERT_TRUE(wait_until([&] {
    for (const auto &server : servers)
      if (probes_seen(*server) < 3) return false;
    return true;
  }));
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const HealthMonitor &monitor = *monitors[i / 4];
    EXPECT_EQ(monitor.server_up(i % 4), cases[i].up) << cases[i].name;
    if (cases[i].up)
      EXPECT_EQ(monitor.failures(i % 4), 0) << cases[i].name;
    else
      EXPECT_GE(monitor.failures(i % 4), 2) << cases[i].name;
  }
}

TEST(HealthMonitorStart, RefusedListsFallBackToReactive) {
  struct Case {
    const char *name;
    std::vector<std::string> nameservers;
    const char *warning; // nullptr: the monitor starts
  };
  std::vector<std::string> eight;
  for (int i = 1; i <= 8; ++i)
    eight.push_back("127.0.0." + std::to_string(i));
  std::vector<std::string> nine = eight;
  nine.push_back("::1");
  const char *count_warning =
      "DNS health monitor init failed: error.InvalidServerCount, falling back to reactive";
  const char *address_warning =
      "DNS health monitor init failed: error.InvalidNameserver, falling back to reactive";
  const std::vector<Case> cases = {
      {"none", {}, count_warning},
      {"nine", nine, count_warning},
      {"host_name", {"127.0.0.1", "ns.example.org"}, address_warning},
      {"address_with_port", {"127.0.0.1:53"}, address_warning},
      {"eight", eight, nullptr},
      {"ipv6", {"::1"}, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    LogLines log;
    // Port 9 on loopback: nothing answers, every probe fails at once.
    auto monitor = start_health_monitor(c.nameservers, quick_options(9));
    if (c.warning != nullptr) {
      EXPECT_FALSE(monitor);
      EXPECT_EQ(log.lines(), std::vector<std::string>{c.warning});
      continue;
    }
    ASSERT_TRUE(monitor);
    EXPECT_TRUE(monitor->started());
    EXPECT_EQ(monitor->count(), c.nameservers.size());
    EXPECT_EQ(monitor->view().count, c.nameservers.size());
    EXPECT_TRUE(log.lines().empty());
  }
}

// Stop is noticed between cycles, not inside one: the cycle under way
// probes every server before the thread ends.
TEST_F(HealthMonitorTest, StopWaitsForTheCycleUnderWay) {
  start_servers(2);
  for (auto &server : servers)
    server->answer("", silent_answer());
  HealthMonitorOptions options = quick_options(servers.front()->port());
  options.probe_timeout_ms = 400;
  auto monitor = start_health_monitor(nameservers, options);
  ASSERT_TRUE(monitor);
  ASSERT_TRUE(wait_until([&] { return probes_seen(*servers[0]) == 1; }));
  ASSERT_EQ(probes_seen(*servers[1]), 0u);
  stop_health_monitor(std::move(monitor));
  EXPECT_EQ(probes_seen(*servers[0]), 1u);
  EXPECT_EQ(probes_seen(*servers[1]), 1u);
}

} // namespace
} // namespace corvane::dns
