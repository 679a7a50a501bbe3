#include "config_text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

namespace corvane::config {
namespace {

using test::expect_config;

// One global key set to one value, and the number the Config must hold.
struct ValueCase {
  std::string line;
  std::function<std::int64_t(const Config &)> field;
  std::int64_t expected;
};

std::int64_t max_connections(const Config &c) { return c.max_connections; }
std::int64_t syslog(const Config &c) { return c.log_settings.syslog; }
std::int64_t facility(const Config &c) { return c.log_settings.facility; }
std::int64_t level(const Config &c) { return c.log_settings.level; }
std::int64_t header_bytes(const Config &c) { return static_cast<std::int64_t>(c.max_header_bytes); }
std::int64_t body_bytes(const Config &c) { return static_cast<std::int64_t>(c.max_body_bytes); }
std::int64_t max_headers(const Config &c) { return static_cast<std::int64_t>(c.max_headers); }
std::int64_t timeout_ms(const Config &c) { return c.dns_timeout_ms; }
std::int64_t retries(const Config &c) { return c.dns_retries; }
std::int64_t evaluation_ms(const Config &c) { return c.max_evaluation_ms; }
std::int64_t umask(const Config &c) { return c.umask.value_or(-1); }
std::int64_t foreground(const Config &c) { return c.foreground; }

const ValueCase k_value_cases[] = {
    // unsigned decimals take their default when they do not read
    {"MaxConnections = abc", max_connections, 256},
    {"MaxConnections = 1_000", max_connections, 1000},
    {"MaxConnections = -0", max_connections, 0},
    {"MaxConnections = +7", max_connections, 7},
    {"MaxConnections = 1 000", max_connections, 256},
    {"MaxConnections =", max_connections, 256},
    {"MaxConnections = 4294967296", max_connections, 256},
    {"MaxHeaders = 18446744073709551615", max_headers, -1}, // all 64 bits set
    {"DnsRetries = 255", retries, 255},
    {"DnsRetries = 256", retries, 2},
    // booleans
    {"Syslog = YES", syslog, 1},
    {"Syslog = maybe", syslog, 1},
    {"Syslog = False", syslog, 0},
    {"Foreground = tRuE", foreground, 1},
    {"Foreground = on", foreground, 0},
    // facility and level words
    {"SyslogFacility = user", facility, 2},
    {"SyslogFacility = LOCAL3", facility, 19},
    {"SyslogFacility = local7", facility, 23},
    {"SyslogFacility = local8", facility, 2},
    {"SyslogFacility = Auth", facility, 4},
    {"LogLevel = notice", level, 6},
    {"LogLevel = INFO", level, 6},
    {"LogLevel = Error", level, 3},
    {"LogLevel = warn", level, 4},
    {"LogLevel = WARNING", level, 4},
    {"LogLevel = debug", level, 7},
    // sizes
    {"MaxHeaderBytes = 2M", header_bytes, 2097152},
    {"MaxHeaderBytes = 2 MB", header_bytes, 2097152},
    {"MaxHeaderBytes = 2MiB", header_bytes, 1048576},
    {"MaxHeaderBytes = 10mb", header_bytes, 10485760},
    {"MaxHeaderBytes = 5b", header_bytes, 5},
    {"MaxHeaderBytes = 3k", header_bytes, 3072},
    {"MaxHeaderBytes = 1_0 K", header_bytes, 10240},
    {"MaxHeaderBytes = 1G", header_bytes, 1073741824},
    {"MaxHeaderBytes = b", header_bytes, 1048576},
    {"MaxHeaderBytes = K", header_bytes, 1048576},
    {"MaxHeaderBytes = KB", header_bytes, 1048576},
    {"MaxHeaderBytes = 2T", header_bytes, 1048576},
    {"MaxHeaderBytes = -0M", header_bytes, 0},
    {"MaxHeaderBytes = 8589934591G", header_bytes, 9223372035781033984},
    {"MaxBodyBytes = 17179869184G", body_bytes, 10485760}, // 2^64: beyond 64 bits
    {"MaxBodyBytes = 17179869183G", body_bytes, -1073741824},
    {"MaxBodyBytes = 1MB B", body_bytes, 10485760},
    // seconds stored as milliseconds; zero and overflow keep 5 s
    {"DnsTimeout = 7", timeout_ms, 7000},
    {"DnsTimeout = 0", timeout_ms, 5000},
    {"DnsTimeout = 4294967", timeout_ms, 4294967000},
    {"DnsTimeout = 4294968", timeout_ms, 5000},
    {"DnsTimeout = soon", timeout_ms, 5000},
    // the signed budget
    {"MaxEvaluationMs = 0", evaluation_ms, 0},
    {"MaxEvaluationMs = -5", evaluation_ms, -5},
    {"MaxEvaluationMs = +1_500", evaluation_ms, 1500},
    {"MaxEvaluationMs =", evaluation_ms, 20000},
    {"MaxEvaluationMs = 1.5", evaluation_ms, 20000},
    {"MaxEvaluationMs = -9223372036854775808", evaluation_ms, INT64_MIN},
    {"MaxEvaluationMs = 9223372036854775808", evaluation_ms, 20000},
    // octal mask
    {"UMask = 027", umask, 027},
    {"UMask = 7_7", umask, 077},
    {"UMask = -0", umask, 0},
    {"UMask = 177777", umask, 0177777},
};

TEST(BuildConfig, ValueSyntaxesAndDefaults) {
  for (const auto &c : k_value_cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(c.field(expect_config(c.line + "\n")), c.expected);
  }
}

TEST(BuildConfig, AbsentKeysTakeTheirDefaults) {
  const Config c = expect_config("");
  EXPECT_EQ(c.authserv_id, "localhost");
  EXPECT_EQ(c.worker_threads, 0u);
  EXPECT_EQ(c.max_connections, 256u);
  EXPECT_EQ(c.pid_file, "/var/run/corvane/corvane.pid");
  EXPECT_FALSE(c.foreground);
  EXPECT_FALSE(c.user);
  EXPECT_FALSE(c.umask);
  EXPECT_EQ(c.dns_nameservers, std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(c.dns_timeout_ms, 5000u);
  EXPECT_EQ(c.dns_retries, 2u);
  EXPECT_EQ(c.dns_cache_size, 1000u);
  EXPECT_EQ(c.dns_negative_ttl, 60u);
  EXPECT_FALSE(c.zmq_endpoint);
  EXPECT_EQ(c.zmq_topic, "dmarc.evaluation");
  EXPECT_FALSE(c.strip_auth_results);
  EXPECT_FALSE(c.apply_pct);
  EXPECT_EQ(c.max_evaluation_ms, 20000);
  EXPECT_FALSE(c.public_suffix_list);
  EXPECT_EQ(c.reject_text, "rejected by DMARC policy for %s");
  EXPECT_EQ(c.quarantine_header, "X-Corvane-Disposition");
  EXPECT_FALSE(c.trusted_sealers_file);
  EXPECT_EQ(c.max_body_bytes, 10485760u);
  EXPECT_EQ(c.max_headers, 500u);
  EXPECT_EQ(c.max_header_bytes, 1048576u);
  EXPECT_EQ(c.max_signatures, 20u);
  EXPECT_TRUE(c.log_settings.syslog);
  EXPECT_EQ(c.log_settings.facility, 2);
  EXPECT_EQ(c.log_settings.level, 6);
  EXPECT_EQ(c.log_settings.ident(), "corvane");
  ASSERT_EQ(c.listeners.size(), 1u);
  EXPECT_EQ(c.listeners[0], default_listener());
  EXPECT_EQ(c.listeners[0].address.host, "127.0.0.1");
  EXPECT_EQ(c.listeners[0].address.port, 8894);
  EXPECT_EQ(c.listeners[0].enforcement, Enforcement::none);
}

TEST(BuildConfig, StringKeysKeepWhatIsWritten) {
  const Config c = expect_config("AuthservID =\nPidFile = run/c.pid\nUser = mail:mail\n"
                                 "ZmqEndpoint = tcp://127.0.0.1:5556\nZmqTopic =\n"
                                 "PublicSuffixList = psl.dat\nTrustedSealersFile = sealers\n"
                                 "RejectText = no %s, and again %s\nQuarantineHeader = X-Tag\n"
                                 "DnsCacheSize = 5\nDnsNegativeTTL = 9\nWorkerThreads = 3\n"
                                 "StripAuthResults = yes\nApplyPct = true\nMaxSignatures = 4\n");
  EXPECT_EQ(c.authserv_id, "");
  EXPECT_EQ(c.pid_file, "run/c.pid");
  EXPECT_EQ(c.user, "mail:mail");
  EXPECT_EQ(c.zmq_endpoint, "tcp://127.0.0.1:5556");
  EXPECT_EQ(c.zmq_topic, "");
  EXPECT_EQ(c.public_suffix_list, "psl.dat");
  EXPECT_EQ(c.trusted_sealers_file, "sealers");
  EXPECT_EQ(c.reject_text, "no %s, and again %s");
  EXPECT_EQ(c.quarantine_header, "X-Tag");
  EXPECT_EQ(c.dns_cache_size, 5u);
  EXPECT_EQ(c.dns_negative_ttl, 9u);
  EXPECT_EQ(c.worker_threads, 3u);
  EXPECT_TRUE(c.strip_auth_results);
  EXPECT_TRUE(c.apply_pct);
  EXPECT_EQ(c.max_signatures, 4u);
}

TEST(BuildConfig, NameserverList) {
  const struct {
    const char *text;
    std::vector<std::string> expected;
  } cases[] = {
      {"", {"127.0.0.1"}},
      {"DnsNameserver = 10.0.0.1, ,10.0.0.2\n", {"10.0.0.1", "10.0.0.2"}},
      {"DnsNameserver =\n", {}},
      {"DnsNameserver = , \t,\n", {}},
      {"DnsNameserver = ::1 \t,name.example\n", {"::1", "name.example"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(expect_config(c.text).dns_nameservers, c.expected);
  }
}

TEST(BuildConfig, OnlyTheGlobalSectionIsRead) {
  const Config c = expect_config("[other]\nMaxHeaders = 7\n[Listener:x]\nLogLevel = debug\n"
                                 "[global]\nMaxHeaders = 9\n");
  EXPECT_EQ(c.max_headers, 9u);
  EXPECT_EQ(c.log_settings.level, 6);
  ASSERT_EQ(c.listeners.size(), 1u); // "Listener:x" is no listener section
  EXPECT_EQ(c.listeners[0], default_listener());
}

TEST(BuildConfig, ListenersInSectionOrder) {
  const Config c = expect_config("[listener:b]\nSocket = unix:/run/b.sock\nEnforcement = reject\n"
                                 "[listener:a]\nSocket = 25\nSocket = inet:26@::1\n"
                                 "[listener:b]\nEnforcement = quarantine\n"
                                 "[listener:c]\nSocket = 27@127.0.0.2\nEnforcement = none\n");
  ASSERT_EQ(c.listeners.size(), 3u);
  EXPECT_EQ(c.listeners[0].address.kind, ListenAddress::Kind::unix_domain);
  EXPECT_EQ(c.listeners[0].address.path, "/run/b.sock");
  EXPECT_EQ(c.listeners[0].enforcement, Enforcement::quarantine); // the second value wins
  EXPECT_EQ(c.listeners[1].address.host, "::1");
  EXPECT_EQ(c.listeners[1].address.port, 26);
  EXPECT_EQ(c.listeners[1].enforcement, Enforcement::none);
  EXPECT_EQ(c.listeners[2].address.host, "127.0.0.2");
  EXPECT_EQ(c.listeners[2].enforcement, Enforcement::none);
}

} // namespace
} // namespace corvane::config
