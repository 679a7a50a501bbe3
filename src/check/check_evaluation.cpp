#include "check/check_evaluation.hpp"

#include "core/clock.hpp"

namespace corvane::check {

std::int64_t deadline_after(std::int64_t now_ms, std::int64_t budget_ms) noexcept {
  if (budget_ms == 0) return dmarc::k_no_deadline;
  if (budget_ms >= dmarc::k_no_deadline - now_ms) return dmarc::k_no_deadline;
  return now_ms + budget_ms;
}

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
