#include "filter/sealer_vouching.hpp"

#include "core/ascii.hpp"
#include "filter/auth_results.hpp"

#include <new>

namespace corvane::filter {

namespace {

// The domain of an smtp.mailfrom value; the whole value when it has no "@"
// or ends with one, which then matches no Author Domain.
std::string_view mailfrom_domain(std::string_view value) noexcept {
  const std::size_t at = value.rfind('@');
  if (at == std::string_view::npos || at + 1 == value.size()) return value;
  return value.substr(at + 1);
}

// Plain equality with the Author Domain: a subdomain does not vouch.
bool vouches(const ResInfo &entry, std::string_view author_domain) noexcept {
  if (!ascii_iequal(entry.result, "pass")) return false;
  if (ascii_iequal(entry.method, "dmarc")) return true;
  if (ascii_iequal(entry.method, "dkim")) {
    const auto domain = find_property(entry, "header.d");
    return domain && ascii_iequal(*domain, author_domain);
  }
  if (ascii_iequal(entry.method, "spf")) {
    const auto mailfrom = find_property(entry, "smtp.mailfrom");
    return mailfrom && ascii_iequal(mailfrom_domain(*mailfrom), author_domain);
  }
  return false;
}

// The payload of an ARC-Authentication-Results value: what follows the
// "i=<instance>;" prefix; none when the value has no such prefix.
std::optional<std::string_view> arc_payload(std::string_view value) noexcept {
  value = trim_left(value);
  if (!ascii_istarts_with(value, "i=")) return std::nullopt;
  const std::size_t semicolon = value.find(';');
  if (semicolon == std::string_view::npos) return std::nullopt;
  return value.substr(semicolon + 1);
}

bool payload_vouches(std::string_view payload, std::string_view author_domain) noexcept {
  bool vouched = false;
  for_each_result(payload, [&](const ResInfo &entry) {
    vouched = vouches(entry, author_domain);
    return !vouched;
  });
  return vouched;
}

} // namespace

std::optional<std::pmr::string> trusted_sealer_vouches(std::span<const milter::HeaderField> headers,
                                                       std::string_view author_domain,
                                                       std::optional<std::string_view> arc_result,
                                                       const TrustedSealers &sealers,
                                                       std::pmr::memory_resource *allocator) {
  if (sealers.ids.empty() || !arc_result || !ascii_iequal(*arc_result, "pass") ||
      author_domain.empty())
    return std::nullopt;
  for (const auto &header : headers) {
    if (!ascii_iequal(header.name, "ARC-Authentication-Results")) continue;
    const auto payload = arc_payload(header.value);
    if (!payload) continue;
    const std::string_view sealer = parse_authserv_id(*payload);
    if (!sealers.contains(sealer) || !payload_vouches(*payload, author_domain)) continue;
    try {
      return std::pmr::string(sealer, allocator);
    } catch (const std::bad_alloc &) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

} // namespace corvane::filter
