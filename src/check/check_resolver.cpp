#include "check/check_resolver.hpp"

#include "dns/resolver.hpp"

#include <string>

namespace corvane::check {

Result<std::unique_ptr<dns::TxtLookup>> make_check_resolver(std::string_view nameserver,
                                                            std::uint16_t port) {
  return catch_out_of_memory([&]() -> Result<std::unique_ptr<dns::TxtLookup>> {
    // The daemon's default DNS settings, for the one nameserver of -n and -p.
    dns::ResolverSettings settings;
    settings.nameservers.emplace_back(nameserver);
    settings.port = port;
    settings.timeout_ms = 5000;
    settings.retries = 2;
    settings.cache_size = 1000;
    settings.negative_ttl = 60;
    auto resolver = dns::make_resolver(settings);
    if (!resolver) return resolver.error();
    return std::unique_ptr<dns::TxtLookup>(std::move(*resolver));
  });
}

} // namespace corvane::check
