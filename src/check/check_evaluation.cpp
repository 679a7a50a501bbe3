#include "check/check_evaluation.hpp"

#include "core/clock.hpp"

namespace corvane::check {

dmarc::EvaluationResult evaluate_options(const CheckOptions &options, dns::TxtLookup &resolver,
                                         const dmarc::PublicSuffixList *psl,
                                         std::pmr::memory_resource *allocator) {
  dmarc::IdentifierResult dkim;
  dkim.domain = options.dkim;
  dkim.result = options.dkim_result;
  dmarc::EvaluationRequest request;
  request.author_domain = options.from;
  request.spf.domain = options.mailfrom;
  request.spf.result = options.spf;
  request.dkim = {&dkim, 1};
  request.apply_pct = false;
  request.deadline_ms = deadline_after(realtime_ms(), options.budget_ms);
  request.resolver = &resolver;
  request.psl = psl;
  request.allocator = allocator;
  return dmarc::evaluate(request);
}

} // namespace corvane::check
