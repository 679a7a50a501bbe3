#pragma once

#include "core/result.hpp"
#include "dns/answer.hpp"
#include "dns/wire.hpp"

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <span>

namespace corvane::dns {

// A decoded reply.
struct DnsResponse {
  AnswerList answers;     // in the order of the answer section
  std::uint16_t id = 0;   // header ID
  std::uint8_t rcode = 0; // low four bits of the flags
  bool truncated = false; // TC
};

// Decodes a reply into its answer records. Strict about names, lenient about
// a reply that ends early: an answer cut short is dropped with everything
// after it, and what was read before stays good. Every name and data buffer is
// allocated from `allocator`. Errors: PacketTooShort, InvalidPointer,
// TooManyPointers, LabelTooLong, TooManyLabels, NameTooLong, OutOfMemory.
Result<DnsResponse> parse_response(std::pmr::memory_resource *allocator,
                                   std::span<const std::byte> packet);

} // namespace corvane::dns
