#pragma once

#include "core/result.hpp"
#include "filter/result_header.hpp"
#include "milter/session.hpp"

#include <string_view>

namespace corvane::filter {

inline constexpr std::string_view k_result_header_name = "Authentication-Results";

// Composes the daemon's own Authentication-Results value for `entry` and
// queues the packet that inserts it at the top of the message. Nothing
// partial is queued. Errors: OutOfMemory, PacketTooLarge, OutputQueueFull.
Result<void> record_dmarc_result(milter::MilterSession &session, std::string_view authserv_id,
                                 const ResultEntry &entry);

// The err line of a message deferred because what was checked could not be
// handed to the MTA; the caller answers with a temporary failure.
char defer_message(Error error) noexcept;

} // namespace corvane::filter
