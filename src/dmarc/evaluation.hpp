#pragma once

#include "core/clock.hpp"
#include "dmarc/discovery.hpp"
#include "dmarc/policy.hpp"
#include "dmarc/public_suffix_list.hpp"
#include "dns/answer.hpp"

#include <cstdint>
#include <memory_resource>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace corvane::dmarc {

using corvane::k_no_deadline;
inline constexpr std::size_t k_max_dkim_identifiers = 10;

// Why an evaluation ended early; the daemon writes it as the comment of its
// Authentication-Results entry.
inline constexpr std::string_view k_reason_deadline = "evaluation deadline exceeded";
inline constexpr std::string_view k_reason_internal_error = "internal error";
inline constexpr std::string_view k_reason_dns_failed = "DNS lookup failed";
inline constexpr std::string_view k_reason_no_record = "no DMARC record found";
inline constexpr std::string_view k_reason_no_usable_policy = "record has no usable policy";

// One authenticated identifier. domain and result are the caller's texts;
// org_domain, once walked, points into a DiscoveryResult of the evaluation.
struct IdentifierResult {
  std::optional<std::string_view> domain;
  std::optional<std::string_view> org_domain;
  std::optional<std::string_view> result;
  bool testing_key = false; // DKIM only: signed with a key published as a testing key
};

struct EvaluationRequest {
  std::string_view author_domain;
  IdentifierResult spf;
  std::span<const IdentifierResult> dkim; // header order; only the first 10 are used
  std::optional<std::string_view> message_id;
  bool apply_pct = false;
  // Wall-clock ms after which no lookup is sent and no verdict is given.
  std::int64_t deadline_ms = k_no_deadline;
  dns::TxtLookup *resolver = nullptr; // required
  const PublicSuffixList *psl = nullptr;
  std::pmr::memory_resource *allocator = std::pmr::get_default_resource();
};

// The outcome. Its texts point into the request or into `walks`; the caller
// keeps the request's texts alive as long as the result. Moving is by
// construction only, which keeps the views valid (see DiscoveryResult).
struct EvaluationResult {
  explicit EvaluationResult(std::pmr::memory_resource *allocator) : walks(allocator) {}
  EvaluationResult(EvaluationResult &&) noexcept = default;
  EvaluationResult(const EvaluationResult &) = delete;
  EvaluationResult &operator=(const EvaluationResult &) = delete;
  EvaluationResult &operator=(EvaluationResult &&) = delete;

  DmarcResult result = DmarcResult::none;
  std::optional<std::string_view> reason; // set when the evaluation ended early
  bool full = false;                      // a policy record was applied
  std::string_view policy_domain;
  PolicyAction requested_policy = PolicyAction::none;
  PolicyAction effective_policy = PolicyAction::none;
  std::string_view author_org;
  IdentifierResult spf;
  bool spf_aligned = false;
  std::optional<IdentifierResult> dkim_selected;
  std::optional<IdentifierResult> dkim_reported;
  bool fail = false;
  // The policy record's alignment modes, for callers that report alignment
  // on its own.
  bool aspf_strict = false;
  bool adkim_strict = false;
  // The Author Domain's walk first, then those of the identifiers.
  std::pmr::vector<DiscoveryResult> walks;
};

// The deadline is looked at before discovery, after it, and after every
// identifier's walk: a walk the deadline cut short lacks records, and a verdict
// drawn from it could fail legitimate mail, so the outcome is temperror then.
EvaluationResult evaluate(const EvaluationRequest &request);

// Not a testing-key result, and the result word is "pass".
bool identifier_passes(const IdentifierResult &identifier) noexcept;

bool identifier_aligned(std::string_view author_domain, std::string_view author_org,
                        const IdentifierResult &identifier, bool strict) noexcept;

// Fills the identifier's organizational domain when relaxed alignment needs it.
// The returned walk holds the text the identifier now points to.
std::optional<DiscoveryResult>
walk_identifier(IdentifierResult &identifier, bool strict, std::string_view author_domain,
                std::string_view author_org, dns::TxtLookup &resolver, const PublicSuffixList *psl,
                std::pmr::memory_resource *allocator, std::int64_t deadline_ms);

std::optional<IdentifierResult> select_dkim(bool strict, std::string_view author_domain,
                                            std::string_view author_org,
                                            std::span<const IdentifierResult> dkim) noexcept;

} // namespace corvane::dmarc
