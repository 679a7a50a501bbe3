#include "dns/resolver.hpp"

#include "dns/query.hpp"
#include "dns/rcode.hpp"
#include "dns/reply_match.hpp"
#include "dns/tcp_exchange.hpp"
#include "dns/udp_exchange.hpp"
#include "dns/wire.hpp"
#include "log/log.hpp"
#include "platform/random.hpp"

#include <array>
#include <variant>

namespace corvane::dns {

using log::ErrorName;
using log::log_message;
using log::Severity;

namespace {

constexpr std::uint8_t k_rcode_success = 0;
constexpr std::uint8_t k_rcode_server_failure = 2;
constexpr std::uint8_t k_rcode_name_error = 3;
constexpr std::uint8_t k_rcode_refused = 5;

Error negative_error(NegativeKind kind) {
  switch (kind) {
  case NegativeKind::name_error: return Error::DnsNameError;
  case NegativeKind::server_failure: return Error::DnsServerFailure;
  case NegativeKind::timeout: return Error::DnsTimeout;
  }
  return Error::DnsTimeout;
}

void log_error_rcode(std::string_view query_name, std::uint8_t rcode) {
  const std::string_view name = rcode_name(rcode);
  // Codes 6 to 15 have no name; their number stands in its place.
  if (name.empty())
    log_message(Severity::warning, "dns: ", query_name, " refused, rcode=", unsigned{rcode},
                " from all nameservers");
  else
    log_message(Severity::warning, "dns: ", query_name, " refused, rcode=", name,
                " from all nameservers");
}

// Every query gets an ID from the system's random source, so that nobody off
// the path can guess it and forge the reply.
Result<std::uint16_t> random_query_id() noexcept {
  std::array<std::byte, 2> bytes{};
  if (auto filled = platform::fill_random(bytes); !filled) return filled.error();
  return wire_u16(bytes, 0);
}

} // namespace

Resolver::Resolver(const ResolverSettings &settings, std::pmr::memory_resource *allocator)
    : allocator_(allocator), nameserver_texts_(allocator),
      timeout_ms_(settings.timeout_ms == 0 ? k_default_timeout_ms : settings.timeout_ms),
      cache_size_(settings.cache_size), negative_ttl_(settings.negative_ttl), port_(settings.port),
      retries_(settings.retries),
      cache_(allocator, settings.cache_size, settings.negative_ttl, settings.clock_s),
      addresses_(allocator), monitor_(settings.monitor) {}

bool Resolver::skipped(std::size_t server) const noexcept {
  return monitor_ != nullptr && !monitor_->server_up(server);
}

Result<AnswerList> Resolver::lookup_txt(std::string_view query_name, std::int64_t deadline_ms) {
  return catch_out_of_memory([&]() -> Result<AnswerList> {
    auto cached = cache_.cache_get(query_name);
    if (!cached) return cached.error();
    if (auto *answers = std::get_if<AnswerList>(&*cached)) return std::move(*answers);
    if (auto *kind = std::get_if<NegativeKind>(&*cached)) return negative_error(*kind);

    // Once the evaluation's time is up nothing more is prepared or sent; the
    // evaluation reports the deadline itself.
    if (deadline_passed(deadline_ms)) return Error::DnsTimeout;
    const std::int64_t started_ns = realtime_ns();
    auto id = random_query_id();
    if (!id) return fail_lookup(query_name, id.error(), false, started_ns);
    auto query = build_query(allocator_, *id, query_name);
    if (!query) return query.error();

    if (monitor_ != nullptr && !monitor_->any_up()) {
      log_message(Severity::warning, "dns: ", query_name,
                  " not queried, all nameservers marked down (monitor)");
      return Error::DnsNoHealthyServers;
    }

    PacketBytes held(allocator_);
    auto exchanged = exchange_udp(*query, deadline_ms, held);
    if (!exchanged) return fail_lookup(query_name, exchanged.error(), false, started_ns);
    // A lookup the deadline cut short says nothing about the servers: it is
    // not remembered.
    if (*exchanged == Exchange::cut || held.empty())
      return fail_lookup(query_name, Error::DnsTimeout, *exchanged == Exchange::complete,
                         started_ns);
    return take_reply(query_name, *query, held, deadline_ms, started_ns);
  });
}

Result<AnswerList> Resolver::take_reply(std::string_view query_name,
                                        std::span<const std::byte> query,
                                        std::span<const std::byte> reply_bytes,
                                        std::int64_t deadline_ms, std::int64_t started_ns) {
  return catch_out_of_memory([&]() -> Result<AnswerList> {
    auto reply = parse_response(allocator_, reply_bytes);
    if (!reply) return reply.error();
    TcpRetry retried = TcpRetry::replaced; // a complete reply is as good as a replaced one
    if (reply->truncated) {
      log_message(Severity::debug, "dns: ", query_name, " truncated over udp, retrying over tcp");
      retried = retry_over_tcp(query_name, query, deadline_ms, *reply);
    }
    keep_answers_to(query_name, reply->answers);
    // Servers truncate by leaving every answer out: such a reply says nothing
    // about the name, and without the TCP reply the lookup has failed.
    if (retried != TcpRetry::replaced && reply->rcode == k_rcode_success && reply->answers.empty())
      return fail_lookup(query_name, Error::DnsTimeout, retried == TcpRetry::failed, started_ns);
    return settle(query_name, std::move(*reply));
  });
}

Result<AnswerList> Resolver::fail_lookup(std::string_view query_name, Error failure, bool cache_it,
                                         std::int64_t started_ns) {
  log_message(Severity::warning, "dns: query ", query_name, " failed err=", ErrorName{failure},
              " elapsed=", (realtime_ns() - started_ns) / 1'000'000, "ms");
  if (cache_it) cache_.cache_put_negative(query_name, NegativeKind::timeout);
  return failure;
}

// Servers in rotation order; a SERVFAIL or REFUSED reply is held while the
// next server is asked, any other reply ends the exchange and moves the
// rotation start past the server that gave it. When the deadline stops the
// exchange before it has a final reply, the exchange was cut.
Result<Resolver::Exchange> Resolver::exchange_udp(std::span<const std::byte> query,
                                                  std::int64_t deadline_ms, PacketBytes &held) {
  const std::size_t count = addresses_.size();
  UdpBuffer buffer;
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t server = (rotation_start_ + k) % count;
    if (skipped(server)) continue;
    if (deadline_passed(deadline_ms)) break;
    auto received =
        udp_exchange(addresses_[server], query, timeout_ms_, retries_, deadline_ms, buffer);
    if (!received) {
      held.clear();
      return received.error();
    }
    if (*received == 0) continue;
    held.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*received));
    const auto rcode = static_cast<std::uint8_t>(wire_u16(buffer, 2) & k_rcode_bits);
    if (rcode == k_rcode_server_failure || rcode == k_rcode_refused) {
      log_message(Severity::debug, "dns: ", nameserver_texts_[server],
                  " returned rcode=", unsigned{rcode}, ", trying next server");
      continue;
    }
    rotation_start_ = (server + 1) % count;
    return Exchange::complete;
  }
  // What the servers after a held SERVFAIL would have said is unknown when
  // the deadline stopped them.
  if (deadline_passed(deadline_ms)) {
    held.clear();
    return Exchange::cut;
  }
  return Exchange::complete;
}

// The truncated UDP reply stands unless a server gives a complete reply to
// the query over TCP; a reply to another question sends the retry on to the
// next server.
Resolver::TcpRetry Resolver::retry_over_tcp(std::string_view query_name,
                                            std::span<const std::byte> query,
                                            std::int64_t deadline_ms, DnsResponse &reply) {
  const std::size_t count = addresses_.size();
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t server = (rotation_start_ + k) % count;
    if (skipped(server)) continue;
    if (deadline_passed(deadline_ms)) break;
    auto bytes = tcp_exchange(addresses_[server], query, timeout_ms_, deadline_ms, allocator_);
    if (!bytes || !answers_query(query, *bytes)) continue;
    auto decoded = parse_response(allocator_, *bytes);
    if (!decoded) {
      log_message(Severity::debug, "dns: tcp reply for ", query_name,
                  " unparseable err=", ErrorName{decoded.error()});
      return TcpRetry::failed;
    }
    reply = std::move(*decoded);
    return TcpRetry::replaced;
  }
  log_message(Severity::debug, "dns: tcp retry for ", query_name,
              " failed err=", ErrorName{Error::DnsTimeout});
  return deadline_passed(deadline_ms) ? TcpRetry::cut : TcpRetry::failed;
}

Result<AnswerList> Resolver::settle(std::string_view query_name, DnsResponse &&reply) {
  switch (reply.rcode) {
  case k_rcode_success:
    // An answer without records is not cached: the next lookup asks again.
    if (!reply.answers.empty()) cache_.cache_put_answers(query_name, reply.answers);
    return std::move(reply.answers);
  case k_rcode_name_error:
    cache_.cache_put_negative(query_name, NegativeKind::name_error);
    return Error::DnsNameError;
  default:
    log_error_rcode(query_name, reply.rcode);
    cache_.cache_put_negative(query_name, NegativeKind::server_failure);
    return Error::DnsServerFailure;
  }
}
class ResolverBuilder {
public:
  static Result<std::unique_ptr<Resolver>> build(const ResolverSettings &settings,
                                                 std::pmr::memory_resource *allocator,
                                                 CreationStep &step) {
    try {
      step = CreationStep::server_addresses;
      std::unique_ptr<Resolver> resolver(new Resolver(settings, allocator));
      resolver->addresses_.reserve(settings.nameservers.size());
      for (const auto &text : settings.nameservers) {
        auto address = socket_address(text, settings.port);
        if (!address) return Error::InvalidNameserver;
        resolver->addresses_.push_back(*address);
      }
      step = CreationStep::nameserver_list;
      resolver->nameserver_texts_.reserve(settings.nameservers.size());
      step = CreationStep::nameserver_copy;
      for (const auto &text : settings.nameservers)
        resolver->nameserver_texts_.emplace_back(text);
      return resolver;
    } catch (const std::bad_alloc &) {
      return Error::OutOfMemory;
    }
  }
};

Result<std::unique_ptr<Resolver>> make_resolver(const ResolverSettings &settings,
                                                std::pmr::memory_resource *allocator,
                                                CreationStep &failed_step) {
  return ResolverBuilder::build(settings, allocator, failed_step);
}

Result<std::unique_ptr<Resolver>> make_resolver(const ResolverSettings &settings,
                                                std::pmr::memory_resource *allocator) {
  CreationStep ignored{};
  return ResolverBuilder::build(settings, allocator, ignored);
}

} // namespace corvane::dns
