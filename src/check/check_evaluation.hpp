#pragma once

#include "check/options.hpp"
#include "dmarc/evaluation.hpp"
#include "dmarc/public_suffix_list.hpp"
#include "dns/answer.hpp"

#include <cstdint>
#include <memory_resource>

namespace corvane::check {

// The daemon's evaluation for the identifiers of the command line: one DKIM
// identifier, no Message-ID, no pct sampling. The budget starts now.
dmarc::EvaluationResult evaluate_options(const CheckOptions &options, dns::TxtLookup &resolver,
                                         const dmarc::PublicSuffixList *psl,
                                         std::pmr::memory_resource *allocator);

} // namespace corvane::check
