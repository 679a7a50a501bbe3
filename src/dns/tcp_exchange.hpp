#pragma once

#include "core/result.hpp"
#include "core/socket_address.hpp"
#include "dns/query.hpp"

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <span>

namespace corvane::dns {

// Asks one server over TCP: connect within the larger of 1 second and
// timeout_ms rounded up to seconds, send the length-prefixed query, read the
// length-prefixed reply within timeout_ms; no wait reaches past the deadline
// (wall-clock milliseconds). Every failure is an error; a reply shorter than
// 12 bytes is PacketTooShort, a peer that closes early UnexpectedEof, a peer
// too slow ConnectionTimedOut, a deadline already passed DnsTimeout. The reply
// is not compared with the query here.
Result<PacketBytes> tcp_exchange(const SocketAddress &server, std::span<const std::byte> query,
                                 std::uint32_t timeout_ms, std::int64_t deadline_ms,
                                 std::pmr::memory_resource *allocator);

} // namespace corvane::dns
