#pragma once

#include "core/clock.hpp"
#include "core/result.hpp"
#include "core/socket_address.hpp"
#include "dns/answer.hpp"
#include "dns/cache.hpp"
#include "dns/monitor_view.hpp"
#include "dns/query.hpp"
#include "dns/response.hpp"

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::dns {

struct ResolverSettings {
  std::vector<std::string> nameservers; // IPv4 or IPv6 address texts
  std::uint16_t port = 53;
  std::uint32_t timeout_ms = 5000; // per attempt; 0 takes the default
  std::uint8_t retries = 2;        // extra attempts per server after the first
  std::uint32_t cache_size = 1000; // 0 means 1000
  std::uint32_t negative_ttl = 60; // seconds; 0 means 60
  // The health monitor's up flags when one runs; none means every server is
  // asked.
  const MonitorView *monitor = nullptr;
  // The wall clock for cache expiry, in seconds. Tests move it; everyone
  // else keeps this one.
  SecondsClock clock_s = &realtime_s;
};

inline constexpr std::uint32_t k_default_timeout_ms = 5000;

// The stub resolver of one thread (daemon) or of the tool: a cache in front of
// UDP exchanges with the nameservers in rotation, and a TCP retry when a reply
// comes truncated. Every query has a fresh random ID, and only a reply to the
// question asked is taken. Never shared between threads; takes no lock.
class Resolver final : public TxtLookup {
public:
  Resolver(const Resolver &) = delete;
  Resolver &operator=(const Resolver &) = delete;

  // The records answering `query_name` (the caller picks the TXT ones), or
  // DnsNameError, DnsServerFailure, DnsTimeout, DnsNoHealthyServers, a codec
  // error, a socket error, the random source's error, or OutOfMemory. A
  // fresh cache entry is used whatever the deadline; otherwise nothing is
  // sent once `deadline_ms` has passed, no wait reaches past it, and a lookup
  // it cuts short is DnsTimeout, not cached.
  Result<AnswerList> lookup_txt(std::string_view query_name, std::int64_t deadline_ms) override;

  // What lookup_txt does with the reply once it has arrived and answers_query
  // has accepted it for `query`: decode it, fetch it again over TCP when
  // truncated, keep only the answers to the question, turn the RCODE into the
  // outcome and cache it. `started_ns` is when the lookup began (wall clock),
  // for the elapsed figure of its log line.
  Result<AnswerList> take_reply(std::string_view query_name, std::span<const std::byte> query,
                                std::span<const std::byte> reply, std::int64_t deadline_ms,
                                std::int64_t started_ns);

  DnsCache &cache() noexcept { return cache_; }
  const DnsCache &cache() const noexcept { return cache_; }
  std::size_t rotation_start() const noexcept { return rotation_start_; }
  // The settings as configured (the cache keeps its own copies of the limits).
  std::uint32_t configured_cache_size() const noexcept { return cache_size_; }
  std::uint32_t configured_negative_ttl() const noexcept { return negative_ttl_; }
  std::uint16_t port() const noexcept { return port_; }
  std::uint32_t timeout_ms() const noexcept { return timeout_ms_; }

private:
  friend class ResolverBuilder;
  Resolver(const ResolverSettings &settings, std::pmr::memory_resource *allocator);

  enum class Exchange : std::uint8_t { complete, cut };
  enum class TcpRetry : std::uint8_t { replaced, failed, cut };

  Result<Exchange> exchange_udp(std::span<const std::byte> query, std::int64_t deadline_ms,
                                PacketBytes &held);
  Result<AnswerList> fail_lookup(std::string_view query_name, Error failure, bool cache_it,
                                 std::int64_t started_ns);
  TcpRetry retry_over_tcp(std::string_view query_name, std::span<const std::byte> query,
                          std::int64_t deadline_ms, DnsResponse &reply);
  Result<AnswerList> settle(std::string_view query_name, DnsResponse &&reply);
  bool skipped(std::size_t server) const noexcept;

  std::pmr::memory_resource *allocator_;
  std::pmr::vector<std::pmr::string> nameserver_texts_;
  std::uint32_t timeout_ms_;
  std::uint32_t cache_size_;
  std::uint32_t negative_ttl_;
  std::uint16_t port_;
  std::uint8_t retries_;
  DnsCache cache_;
  std::pmr::vector<SocketAddress> addresses_;
  std::size_t rotation_start_ = 0;
  const MonitorView *monitor_;
};

// Which allocation ran out of memory while a resolver was being created; the
// daemon names it in the message it stops with.
enum class CreationStep : std::uint8_t { server_addresses, nameserver_list, nameserver_copy };

// Errors: InvalidNameserver for a text that is not an IPv4 or IPv6 address,
// OutOfMemory.
Result<std::unique_ptr<Resolver>>
make_resolver(const ResolverSettings &settings,
              std::pmr::memory_resource *allocator = std::pmr::get_default_resource());
Result<std::unique_ptr<Resolver>> make_resolver(const ResolverSettings &settings,
                                                std::pmr::memory_resource *allocator,
                                                CreationStep &failed_step);

} // namespace corvane::dns
