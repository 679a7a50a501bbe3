#pragma once

#include "milter/session.hpp"

#include <cstdint>
#include <span>
#include <string_view>

namespace corvane::milter {

enum class PacketStatus : std::uint8_t { ready, need_more, too_large };

// The packet at the head of the input buffer. The payload points into the
// buffer and is valid until consume_packet or the next read.
struct PacketView {
  PacketStatus status = PacketStatus::need_more;
  char command = 0;
  std::string_view payload;
};

// Cuts the next packet: a 4-byte big-endian length N (1 to 1,048,576, else
// too_large), then N bytes: the command and its payload.
PacketView parse_packet(MilterSession &session) noexcept;

// Drops the packet parse_packet returned as ready.
void consume_packet(MilterSession &session) noexcept;

// Appends bytes read from the socket; false when there is no memory for them.
bool append_input(MilterSession &session, std::span<const char> bytes) noexcept;

} // namespace corvane::milter
