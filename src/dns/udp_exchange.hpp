#pragma once

#include "core/result.hpp"
#include "core/socket_address.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace corvane::dns {

inline constexpr std::size_t k_udp_buffer_size = 4096;
using UdpBuffer = std::array<std::byte, k_udp_buffer_size>;

// Asks one server over UDP: up to 1 + retries attempts, none started once the
// deadline (wall-clock milliseconds) has passed. Each attempt sends the query
// and waits up to timeout_ms, never past the deadline, for its reply.
// Datagrams that do not answer the query (answers_query) are dropped and the
// wait goes on, a datagram shorter than a DNS header too. A reply
// longer than the buffer is kept cut, with TC set in the copy, as the
// truncated reply it is. The value is the length of the reply in `reply`; 0
// means that no attempt got one. An error means the socket could not be
// opened, which ends the whole lookup.
Result<std::size_t> udp_exchange(const SocketAddress &server, std::span<const std::byte> query,
                                 std::uint32_t timeout_ms, std::uint8_t retries,
                                 std::int64_t deadline_ms, UdpBuffer &reply);

} // namespace corvane::dns
