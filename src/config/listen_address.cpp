#include "config/listen_address.hpp"

#include "core/ip_text.hpp"
#include "core/number.hpp"

namespace corvane::config {

namespace {

// An empty path or one holding a NUL byte would not name the configured file:
// the platform reads a leading NUL as an abstract socket name and stops at an
// inner one.
Result<ListenAddress> unix_address(std::string_view path) {
  if (path.empty() || path.size() > k_max_unix_path || path.find('\0') != std::string_view::npos)
    return Error::InvalidPath;
  ListenAddress address;
  address.kind = ListenAddress::Kind::unix_domain;
  address.path = std::string(path);
  return address;
}

Result<ListenAddress> inet_address(std::string_view text) {
  const std::size_t at = text.find('@');
  const auto port = read_u16(text.substr(0, at));
  if (!port) return Error::InvalidPort;
  const std::string_view host =
      at == std::string_view::npos ? k_any_ipv4_host : text.substr(at + 1);
  if (!parse_ipv4_text(host) && !parse_ipv6_text(host)) return Error::InvalidHost;
  ListenAddress address;
  address.host = std::string(host);
  address.port = *port;
  return address;
}

} // namespace

Result<ListenAddress> parse_listen_address(std::string_view text) {
  if (text.starts_with("inet:")) return inet_address(text.substr(5));
  if (text.starts_with("unix:")) return unix_address(text.substr(5));
  if (text.starts_with("/")) return unix_address(text);
  return inet_address(text);
}

} // namespace corvane::config
