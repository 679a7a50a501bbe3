#pragma once

#include "core/result.hpp"

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <string_view>
#include <vector>

namespace corvane::dns {

using PacketBytes = std::pmr::vector<std::byte>;

// The UDP payload size advertised in the OPT record: larger answers come
// truncated and are fetched again over TCP.
inline constexpr std::uint16_t k_udp_payload_size = 1232;

// A TXT query of class IN for `name` with recursion desired and one EDNS0 OPT
// record. Errors: EmptyLabel, LabelTooLong, TooManyLabels, NameTooLong,
// OutOfMemory.
Result<PacketBytes> build_query(std::pmr::memory_resource *allocator, std::uint16_t id,
                                std::string_view name);

} // namespace corvane::dns
