#include "config/config_keys.hpp"

#include "config/refusal.hpp"

#include <algorithm>
#include <array>

namespace corvane::config {

namespace {

constexpr std::array<std::string_view, 28> k_global_keys{
    "MaxHeaders",
    "MaxHeaderBytes",
    "MaxBodyBytes",
    "MaxSignatures",
    "Syslog",
    "SyslogFacility",
    "LogLevel",
    "AuthservID",
    "WorkerThreads",
    "MaxConnections",
    "PidFile",
    "User",
    "UMask",
    "Foreground",
    "DnsNameserver",
    "DnsTimeout",
    "DnsRetries",
    "DnsCacheSize",
    "DnsNegativeTTL",
    "ZmqEndpoint",
    "ZmqTopic",
    "StripAuthResults",
    "ApplyPct",
    "PublicSuffixList",
    "RejectText",
    "QuarantineHeader",
    "TrustedSealersFile",
    "MaxEvaluationMs",
};

constexpr std::array<std::string_view, 2> k_listener_keys{"Socket", "Enforcement"};

template <std::size_t N>
bool contains(const std::array<std::string_view, N> &table, std::string_view key) noexcept {
  return std::find(table.begin(), table.end(), key) != table.end();
}

Result<void> check_key(const ConfigSection &section, std::string_view key) noexcept {
  const std::string_view name = section.name();
  if (is_listener_section(name)) {
    if (is_listener_key(key)) return {};
    if (is_global_key(key)) {
      refuse_with_stderr_copy("config: [", name, "] key \"", key,
                              "\" is a global key with no effect here; move it to [global]. "
                              "Refusing to start");
      return Error::InvalidConfiguration;
    }
  } else if (is_global_key(key)) {
    return {};
  }
  refuse_with_stderr_copy("config: [", name, "] unrecognized key \"", key,
                          "\" (typo?); refusing to start");
  return Error::InvalidConfiguration;
}

} // namespace

bool is_listener_section(std::string_view section_name) noexcept {
  return section_name.starts_with(k_listener_prefix);
}

bool is_global_key(std::string_view key) noexcept { return contains(k_global_keys, key); }

bool is_listener_key(std::string_view key) noexcept { return contains(k_listener_keys, key); }

Result<void> check_config_keys(const ConfigDocument &document) noexcept {
  for (const ConfigSection &section : document.sections())
    for (const ConfigEntry &entry : section.entries())
      if (auto checked = check_key(section, entry.key); !checked) return checked;
  return {};
}

} // namespace corvane::config
