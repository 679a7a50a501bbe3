#pragma once

#include "filter/filter_settings.hpp"
#include "milter/session.hpp"

#include <optional>
#include <string_view>

namespace corvane::filter {

// The reply for a message and the Author Domain it was judged by (for the
// summary line; it points into the message's arena).
struct MessageVerdict {
  char reply = 'c';
  std::optional<std::string_view> author_domain;
};

// The per-message procedure at end of message: From checks, the identifiers
// the upstream verifiers reported, the evaluation within MaxEvaluationMs, the
// result header, the trusted-sealer question, the event and the enforcement.
// Record or defer: when the result header cannot be queued, the reply is a
// temporary failure.
MessageVerdict evaluate_message(milter::MilterSession &session, const FilterSettings &settings);

} // namespace corvane::filter
