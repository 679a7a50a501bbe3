#pragma once

#include "check/options.hpp"
#include "dmarc/evaluation.hpp"
#include "dmarc/public_suffix_list.hpp"
#include "dns/answer.hpp"

#include <cstdint>
#include <memory_resource>

namespace corvane::check {

// now + budget, or no deadline for a budget of 0. A budget too large to add
// is as good as none.
std::int64_t deadline_after(std::int64_t now_ms, std::int64_t budget_ms) noexcept;

// The daemon's evaluation for the identifiers of the command line: one DKIM
// identifier, no Message-ID, no pct sampling. The budget starts now.
dmarc::EvaluationResult evaluate_options(const CheckOptions &options, dns::TxtLookup &resolver,
                                         const dmarc::PublicSuffixList *psl,
                                         std::pmr::memory_resource *allocator);

} // namespace corvane::check
