#pragma once

#include "milter/session.hpp"

#include <string_view>

namespace corvane::milter {

// Stores one header of the current message within MaxHeaders and
// MaxHeaderBytes. A header that does not fit (or finds no memory) sets the
// message's header-limit flag: from then on nothing more is stored, and end
// of message answers with a temporary failure rather than evaluate a message
// from an incomplete header set.
void take_header(MilterSession &session, std::string_view name, std::string_view value) noexcept;

// At end of message: true (after logging why) when the header set is
// incomplete and the message must be deferred.
bool header_block_incomplete(const MilterSession &session) noexcept;

} // namespace corvane::milter
