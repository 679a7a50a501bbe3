#pragma once

#include "core/result.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane::config {

// Where a listener accepts the MTA: an inet host and port, or a unix-domain
// path. The host stays text; the listener parses it again when it binds.
struct ListenAddress {
  enum class Kind : std::uint8_t { inet, unix_domain };

  Kind kind = Kind::inet;
  std::string host; // inet: IPv4 dotted quad or IPv6 text
  std::uint16_t port = 0;
  std::string path; // unix_domain

  bool operator==(const ListenAddress &) const = default;
};

// The unix-domain address has 104 bytes for the path, one of them the NUL.
inline constexpr std::size_t k_max_unix_path = 103;
inline constexpr std::string_view k_any_ipv4_host = "0.0.0.0";

// "inet:port@host", "inet:port", "port@host", "port", "unix:/path" or "/path".
// Errors: InvalidPort, InvalidHost, InvalidPath.
Result<ListenAddress> parse_listen_address(std::string_view text);

} // namespace corvane::config
