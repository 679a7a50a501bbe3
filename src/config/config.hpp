#pragma once

#include "config/config_document.hpp"
#include "config/listen_address.hpp"
#include "core/result.hpp"
#include "log/log.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane::config {

// What a listener does with a failing message. Numbered like the engine's
// policy words, so the two convert by value.
enum class Enforcement : std::uint8_t { none = 0, quarantine = 1, reject = 2 };

struct ListenerConfig {
  ListenAddress address;
  Enforcement enforcement = Enforcement::none;

  bool operator==(const ListenerConfig &) const = default;
};

// Used when the file names no listener section.
ListenerConfig default_listener();

// Fixed values that have no key.
inline constexpr std::string_view k_configured_log_ident = "corvane";
inline constexpr std::uint16_t k_dns_port = 53;

// The log settings the daemon installs once its configuration is loaded.
log::LogSettings configured_log_settings(bool syslog, std::uint8_t facility,
                                         std::uint8_t level) noexcept;

// The daemon's settings, built once at start-up and read-only afterwards. The
// member initialisers are the defaults of absent keys; each field is named
// after its key.
struct Config {
  std::string authserv_id = "localhost";
  std::uint32_t worker_threads = 0;    // 0: one per CPU
  std::uint32_t max_connections = 256; // per worker
  std::string pid_file = "/var/run/corvane/corvane.pid";
  bool foreground = false;
  std::optional<std::string> user;    // "user" or "user:group"; absent: no privilege drop
  std::optional<std::uint16_t> umask; // absent: the mask stays as inherited

  // Split, trimmed and without empty items; not yet checked as addresses.
  std::vector<std::string> dns_nameservers{"127.0.0.1"};
  std::uint32_t dns_timeout_ms = 5000; // DnsTimeout is written in seconds
  std::uint8_t dns_retries = 2;
  std::uint32_t dns_cache_size = 1000;
  std::uint32_t dns_negative_ttl = 60; // seconds
  std::optional<std::string> zmq_endpoint;
  std::string zmq_topic = "dmarc.evaluation";

  bool strip_auth_results = false;
  bool apply_pct = false;
  std::int64_t max_evaluation_ms = 20000; // 0: no budget; negative: always past
  std::optional<std::string> public_suffix_list;
  std::string reject_text = "rejected by DMARC policy for %s";
  std::string quarantine_header = "X-Corvane-Disposition";
  std::optional<std::string> trusted_sealers_file;

  std::uint64_t max_body_bytes = 10485760; // accepted; nothing uses it
  std::uint64_t max_headers = 500;
  std::uint64_t max_header_bytes = 1048576;
  std::uint64_t max_signatures = 20; // accepted; nothing uses it

  // From Syslog, SyslogFacility and LogLevel, with the ident "corvane".
  log::LogSettings log_settings = configured_log_settings(true, log::k_facility_mail, 6);

  // In the order the listener sections first appear; the position is the
  // listener index.
  std::vector<ListenerConfig> listeners;
};

// Reads the section "global" and every listener section into a Config,
// refusing in a fixed order: InvalidMode (UMask), MissingListenerSocket,
// InvalidListenerSocket, InvalidEnforcement (per listener, in section order),
// InvalidRejectText, InvalidQuarantineHeader; OutOfMemory. Each refusal is
// logged, some also copied to standard error. Expects check_config_keys to
// have passed.
Result<Config> build_config(const ConfigDocument &document);

} // namespace corvane::config
