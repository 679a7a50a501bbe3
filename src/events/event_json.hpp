#pragma once

#include "core/result.hpp"
#include "events/evaluation_event.hpp"

#include <memory_resource>
#include <string>

namespace corvane::events {

// The record as one line of JSON, keys in their fixed order, no white space
// between tokens; "policy_override":"trusted_forwarder" closes it only when a
// trusted sealer vouched. Allocated once, from `memory` (the message's arena).
// Errors: OutOfMemory.
Result<std::pmr::string> format_event_json(const EvaluationEvent &event,
                                           std::pmr::memory_resource *memory) noexcept;

} // namespace corvane::events
