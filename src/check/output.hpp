#pragma once

#include "dmarc/evaluation.hpp"

#include <string>
#include <string_view>

namespace corvane::check {

// The eight key=value lines for one outcome. An evaluation that ended early
// prints only its result (and, for a record without usable policy, where the
// record was); a full one prints the organizational domains and each
// identifier's alignment whether or not it passed. Bytes below 0x20 and 0x7F
// in a value are written as '?'. Throws std::bad_alloc.
std::string format_check_output(std::string_view author_domain,
                                const dmarc::EvaluationResult &outcome);

} // namespace corvane::check
