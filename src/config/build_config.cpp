#include "config/accessors.hpp"
#include "config/config.hpp"
#include "config/config_keys.hpp"
#include "config/refusal.hpp"
#include "core/ascii.hpp"
#include "core/number.hpp"

#include <limits>

namespace corvane::config {

ListenerConfig default_listener() {
  ListenerConfig listener;
  listener.address.host = "127.0.0.1";
  listener.address.port = 8894;
  return listener;
}

log::LogSettings configured_log_settings(bool syslog, std::uint8_t facility,
                                         std::uint8_t level) noexcept {
  log::LogSettings settings;
  settings.syslog = syslog;
  settings.facility = facility;
  settings.level = level;
  settings.set_ident(k_configured_log_ident);
  return settings;
}

namespace {

std::optional<std::string> get_optional_string(const ConfigSection &section, std::string_view key) {
  const auto value = get_string(section, key);
  if (!value) return std::nullopt;
  return std::string(*value);
}

// Absent keeps the default; present and empty stays empty.
void read_string(const ConfigSection &section, std::string_view key, std::string &field) {
  if (const auto value = get_string(section, key)) field.assign(*value);
}

Result<void> read_umask(const ConfigSection &global, Config &config) {
  const auto value = get_string(global, "UMask");
  if (!value) return {};
  // The one numeric key whose bad value stops start-up: a mask that does not
  // read must not leave files more open than the operator asked for.
  const auto mask = read_octal_u16(trim(*value, TrimSet::SpTab));
  if (!mask) return Error::InvalidMode;
  config.umask = *mask;
  return {};
}

Result<Enforcement> read_enforcement(const ConfigSection &section) {
  const auto value = get_string(section, "Enforcement");
  if (!value || *value == "none") return Enforcement::none;
  if (*value == "quarantine") return Enforcement::quarantine;
  if (*value == "reject") return Enforcement::reject;
  refuse_with_stderr_copy("config: [", section.name(), "] Enforcement \"", *value,
                          "\" is not none|quarantine|reject; refusing to start");
  return Error::InvalidEnforcement;
}

Result<ListenerConfig> read_listener(const ConfigSection &section) {
  const auto socket = get_string(section, "Socket");
  if (!socket) {
    log::log_message(log::Severity::err, "config: [", section.name(),
                     "] has no Socket setting -- a listener section must name an address");
    return Error::MissingListenerSocket;
  }
  auto address = parse_listen_address(*socket);
  if (!address) {
    log::log_message(log::Severity::err, "config: [", log::SafeField{section.name()},
                     "] Socket=", log::SafeField{*socket}, " is not a valid listen address (",
                     log::ErrorName{address.error()}, ") -- expected inet:port@ip or unix:/path");
    return Error::InvalidListenerSocket;
  }
  const auto enforcement = read_enforcement(section);
  if (!enforcement) return enforcement.error();
  return ListenerConfig{std::move(*address), *enforcement};
}

Result<void> read_listeners(const ConfigDocument &document, Config &config) {
  for (const ConfigSection &section : document.sections()) {
    if (!is_listener_section(section.name())) continue;
    auto listener = read_listener(section);
    if (!listener) return listener.error();
    config.listeners.push_back(std::move(*listener));
  }
  if (config.listeners.empty()) config.listeners.push_back(default_listener());
  return {};
}

// Items are cut at ",", trimmed of SP and TAB, and empty ones dropped; a
// present value with no item leaves the list empty.
std::vector<std::string> split_nameservers(std::string_view value) {
  std::vector<std::string> servers;
  for (;;) {
    const std::size_t comma = value.find(',');
    const std::string_view item = trim(value.substr(0, comma), TrimSet::SpTab);
    if (!item.empty()) servers.emplace_back(item);
    if (comma == std::string_view::npos) return servers;
    value.remove_prefix(comma + 1);
  }
}

// A timeout of zero would be no timeout at all for the socket, and a product
// that does not fit 32 bits would wrap to a small or zero value: both take
// the default instead.
std::uint32_t read_dns_timeout_ms(const ConfigSection &global, std::uint32_t fallback_ms) {
  const std::uint32_t seconds = get_u32(global, "DnsTimeout", 0);
  if (seconds == 0 || seconds > std::numeric_limits<std::uint32_t>::max() / 1000)
    return fallback_ms;
  return seconds * 1000;
}

void read_dns_and_evaluation(const ConfigSection &global, Config &config) {
  if (const auto servers = get_string(global, "DnsNameserver"))
    config.dns_nameservers = split_nameservers(*servers);
  config.dns_timeout_ms = read_dns_timeout_ms(global, config.dns_timeout_ms);
  config.dns_retries = get_u8(global, "DnsRetries", config.dns_retries);
  config.dns_cache_size = get_u32(global, "DnsCacheSize", config.dns_cache_size);
  config.dns_negative_ttl = get_u32(global, "DnsNegativeTTL", config.dns_negative_ttl);
  config.zmq_endpoint = get_optional_string(global, "ZmqEndpoint");
  read_string(global, "ZmqTopic", config.zmq_topic);
  config.strip_auth_results = get_bool(global, "StripAuthResults", config.strip_auth_results);
  config.apply_pct = get_bool(global, "ApplyPct", config.apply_pct);
  config.max_evaluation_ms = get_i64(global, "MaxEvaluationMs", config.max_evaluation_ms);
  config.public_suffix_list = get_optional_string(global, "PublicSuffixList");
}

// Several "%s" are accepted: the reply builder fills in every one of them.
Result<void> read_reject_text(const ConfigSection &global, Config &config) {
  read_string(global, "RejectText", config.reject_text);
  if (config.reject_text.find("%s") != std::string::npos) return {};
  {
    std::lock_guard guard(log::stderr_lock());
    log::log_message(log::Severity::err,
                     "config: RejectText must contain %s exactly once (the Author Domain); "
                     "refusing to start");
    log::write_stderr_line(
        {"config: RejectText must contain %s (the Author Domain); refusing to start"});
  }
  return Error::InvalidRejectText;
}

// The tag is inserted into messages as a header field name.
bool is_header_field_name(std::string_view name) noexcept {
  if (name.empty()) return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 33 || byte > 126 || c == ':') return false;
  }
  return true;
}

Result<void> read_quarantine_header(const ConfigSection &global, Config &config) {
  read_string(global, "QuarantineHeader", config.quarantine_header);
  if (is_header_field_name(config.quarantine_header)) return {};
  refuse_with_stderr_copy("config: QuarantineHeader \"", config.quarantine_header,
                          "\" is not a valid header field name; refusing to start");
  return Error::InvalidQuarantineHeader;
}

void read_limits(const ConfigSection &global, Config &config) {
  config.trusted_sealers_file = get_optional_string(global, "TrustedSealersFile");
  config.max_body_bytes = get_size(global, "MaxBodyBytes", config.max_body_bytes);
  config.max_headers = get_count(global, "MaxHeaders", config.max_headers);
  config.max_header_bytes = get_size(global, "MaxHeaderBytes", config.max_header_bytes);
  config.max_signatures = get_count(global, "MaxSignatures", config.max_signatures);
}

void read_log_settings(const ConfigSection &global, Config &config) {
  const log::LogSettings &fallback = config.log_settings;
  config.log_settings =
      configured_log_settings(get_bool(global, "Syslog", fallback.syslog),
                              get_facility(global, "SyslogFacility", fallback.facility),
                              get_level(global, "LogLevel", fallback.level));
}

void read_process_settings(const ConfigSection &global, Config &config) {
  read_string(global, "AuthservID", config.authserv_id);
  config.worker_threads = get_u32(global, "WorkerThreads", config.worker_threads);
  config.max_connections = get_u32(global, "MaxConnections", config.max_connections);
  read_string(global, "PidFile", config.pid_file);
  config.foreground = get_bool(global, "Foreground", config.foreground);
  config.user = get_optional_string(global, "User");
}

// The steps run in this order so that the first refusal an operator sees is
// always the same one for the same file.
Result<Config> build(const ConfigDocument &document) {
  const ConfigSection &global = document.global();
  Config config;
  read_process_settings(global, config);
  if (auto r = read_umask(global, config); !r) return r.error();
  if (auto r = read_listeners(document, config); !r) return r.error();
  read_dns_and_evaluation(global, config);
  if (auto r = read_reject_text(global, config); !r) return r.error();
  if (auto r = read_quarantine_header(global, config); !r) return r.error();
  read_limits(global, config);
  read_log_settings(global, config);
  return config;
}

} // namespace

Result<Config> build_config(const ConfigDocument &document) {
  return catch_out_of_memory([&] { return build(document); });
}

} // namespace corvane::config
