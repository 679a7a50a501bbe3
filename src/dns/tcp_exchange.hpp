#pragma once

#include "core/result.hpp"
#include "dns/nameserver_address.hpp"
#include "dns/query.hpp"

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <span>

namespace corvane::dns {

// Asks one server over TCP: connect within the larger of 1 second and
// timeout_ms rounded up to seconds, send the length-prefixed query, read the
// length-prefixed reply. Every failure is an error; a reply shorter than 12
// bytes is PacketTooShort and a peer that closes early UnexpectedEof.
Result<PacketBytes> tcp_exchange(const ServerAddress &server, std::span<const std::byte> query,
                                 std::uint32_t timeout_ms, std::pmr::memory_resource *allocator);

} // namespace corvane::dns
