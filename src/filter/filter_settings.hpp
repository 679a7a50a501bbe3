#pragma once

#include "dmarc/policy.hpp"
#include "dmarc/public_suffix_list.hpp"
#include "dns/answer.hpp"
#include "events/evaluation_event.hpp"
#include "filter/trusted_sealers.hpp"

#include <cstdint>
#include <memory_resource>
#include <string>
#include <vector>

namespace corvane::filter {

// What the end-of-message handling reads: the configuration's evaluation
// settings and the reference data, built before the workers start and only
// read afterwards, plus the ways to this thread's resolver and publisher
// (each thread has its own; none is ever handed to another thread).
struct FilterSettings {
  std::string authserv_id = "localhost";
  bool strip_auth_results = false;
  std::string reject_text = "rejected by DMARC policy for %s";
  std::string quarantine_header = "X-Corvane-Disposition";
  // One per listener, in listener order; an index outside counts as none.
  std::vector<dmarc::PolicyAction> enforcement;
  std::int64_t max_evaluation_ms = 20000; // 0: no deadline
  bool apply_pct = false;
  const TrustedSealers *sealers = nullptr;
  const dmarc::PublicSuffixList *public_suffix_list = nullptr;
  dns::TxtLookup &(*resolver)() = nullptr;
  void (*publish)(const events::EvaluationEvent &event,
                  std::pmr::memory_resource *memory) = nullptr;
};

} // namespace corvane::filter
