#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane {

using Ipv4Bytes = std::array<std::uint8_t, 4>;
using Ipv6Bytes = std::array<std::uint8_t, 16>;

// Dotted-decimal IPv4: exactly four parts of 0 to 255, each without leading
// zeros ("0" itself is fine), nothing else.
std::optional<Ipv4Bytes> parse_ipv4_text(std::string_view text) noexcept;

// IPv6 text form: groups of one to four hex digits, at most one "::" (standing
// for one or more zero groups), an optional dotted IPv4 tail in the place of
// the last two groups, no zone index, at most 45 bytes.
std::optional<Ipv6Bytes> parse_ipv6_text(std::string_view text) noexcept;

inline constexpr std::size_t k_max_ip_text = 45;

} // namespace corvane
