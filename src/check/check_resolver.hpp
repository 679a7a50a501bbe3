#pragma once

#include "core/result.hpp"
#include "dns/answer.hpp"

#include <cstdint>
#include <memory>
#include <string_view>

namespace corvane::check {

// The tool's one resolver: the given nameserver (already checked to be an
// address), 5000 ms per attempt, 2 retries, 1000 cache entries, negative
// answers kept 60 s, no health monitor.
Result<std::unique_ptr<dns::TxtLookup>> make_check_resolver(std::string_view nameserver,
                                                            std::uint16_t port);

} // namespace corvane::check
