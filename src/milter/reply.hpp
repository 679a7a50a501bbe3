#pragma once

#include "core/error.hpp"
#include "milter/session.hpp"

#include <string_view>

namespace corvane::milter {

class ConnectionOwner;

// Queues one reply packet and writes what the socket takes. Returns whether
// the connection is still open: when the reply cannot be queued or written,
// the failure has been logged and the connection closed, and the caller must
// not touch the session again.
bool send_reply(ConnectionOwner &owner, MilterSession &session, std::string_view bytes) noexcept;
bool send_reply_byte(ConnectionOwner &owner, MilterSession &session, char code) noexcept;

// Writes the queued replies without blocking. When the socket would block,
// arms one write-readiness report (once per stall) and logs that replies are
// held; the worker calls this again when the socket becomes writable.
bool flush_replies(ConnectionOwner &owner, MilterSession &session) noexcept;

// The log line of a connection dropped for a reply that could not be queued
// or written.
void report_reply_failure(const MilterSession &session, Error error) noexcept;

} // namespace corvane::milter
