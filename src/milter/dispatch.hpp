#pragma once

#include "milter/session.hpp"

#include <string_view>

namespace corvane::milter {

class ConnectionOwner;

// Handles one packet from the MTA and answers it where the protocol calls for
// an answer. Returns whether the connection is still open; after false the
// session is gone.
bool dispatch_packet(ConnectionOwner &owner, MilterSession &session, char command,
                     std::string_view payload) noexcept;

// Handles every complete packet in the session's input buffer, in order.
// Returns whether the connection is still open (an invalid length or a
// failed reply closes it).
bool dispatch_ready_packets(ConnectionOwner &owner, MilterSession &session) noexcept;

// Stores the macros of a 'D' packet: after the command letter, name NUL value
// NUL pairs; later values win.
void apply_macros(MilterSession &session, std::string_view payload) noexcept;

} // namespace corvane::milter
