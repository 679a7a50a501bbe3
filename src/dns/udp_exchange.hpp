#pragma once

#include "core/result.hpp"
#include "dns/nameserver_address.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace corvane::dns {

inline constexpr std::size_t k_udp_buffer_size = 4096;
using UdpBuffer = std::array<std::byte, k_udp_buffer_size>;

// Asks one server over UDP: up to 1 + retries attempts, each a send and one
// receive bounded by timeout_ms. The first datagram of 12 bytes or more ends
// the attempts; its length is the value. 0 means that every attempt failed.
// An error means the socket could not be opened or given its timeout, which
// ends the whole lookup.
Result<std::size_t> udp_exchange(const ServerAddress &server, std::span<const std::byte> query,
                                 std::uint32_t timeout_ms, std::uint8_t retries, UdpBuffer &reply);

} // namespace corvane::dns
