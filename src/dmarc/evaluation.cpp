#include "dmarc/evaluation.hpp"

#include "core/ascii.hpp"
#include "core/clock.hpp"
#include "core/wyhash.hpp"
#include "dmarc/organizational_domain.hpp"
#include "log/log.hpp"

#include <algorithm>
#include <array>

namespace corvane::dmarc {

namespace {

using log::Severity;

void end_early(EvaluationResult &out, DmarcResult result, std::string_view reason) noexcept {
  out.result = result;
  out.reason = reason;
}

// After a walk: past the deadline the walk may have been cut short, and
// nothing of it may count.
bool ended_on_deadline(EvaluationResult &out, std::int64_t deadline_ms) noexcept {
  if (!deadline_passed(deadline_ms)) return false;
  log::log_message(Severity::warning,
                   "dmarc: evaluation deadline exceeded during org-domain walks");
  end_early(out, DmarcResult::temperror, k_reason_deadline);
  return true;
}

// The record at the Author Domain itself, else the one found highest up.
const DiscoveredRecord &policy_record(const DiscoveryResult &walk,
                                      std::string_view author_domain) noexcept {
  for (const auto &found : walk.records)
    if (ascii_iequal(found.name, author_domain)) return found;
  return walk.records.back();
}

// A valid p, and no sp or np that failed to read.
bool has_usable_policy(const DmarcRecord &record) noexcept {
  return record.p_present && !record.policy_tag_invalid;
}

// The pct sample: a pure function of the Message-ID, so the same message
// always falls on the same side.
bool sampled_out(const DmarcRecord &record, const EvaluationRequest &request) noexcept {
  if (!request.apply_pct || record.pct >= 100) return false;
  if (record.pct == 0) return true;
  if (!request.message_id) return false;
  return wyhash(*request.message_id, 0) % 100 >= record.pct;
}

PolicyAction effective_policy(PolicyAction requested, const DmarcRecord &record,
                              const EvaluationRequest &request) noexcept {
  PolicyAction effective = requested;
  if (record.testing) effective = step_down(effective);
  if (sampled_out(record, request)) effective = step_down(effective);
  return effective;
}

// Room for every walk up front, so that no walk moves while views into it
// are held. Running out here is running out during discovery.
bool reserve_walks(EvaluationResult &out, std::size_t count) noexcept {
  try {
    out.walks.reserve(count);
    return true;
  } catch (const std::bad_alloc &) {
    return false;
  }
}

void walk_into(EvaluationResult &out, IdentifierResult &identifier, bool strict,
               const EvaluationRequest &request) {
  auto walk =
      walk_identifier(identifier, strict, request.author_domain, out.author_org, *request.resolver,
                      request.psl, request.allocator, request.deadline_ms);
  if (walk) out.walks.emplace_back(std::move(*walk));
}

} // namespace

bool identifier_passes(const IdentifierResult &identifier) noexcept {
  return !identifier.testing_key && identifier.result && ascii_iequal(*identifier.result, "pass");
}

bool identifier_aligned(std::string_view author_domain, std::string_view author_org,
                        const IdentifierResult &identifier, bool strict) noexcept {
  if (!identifier.domain || identifier.domain->empty() || author_domain.empty()) return false;
  if (strict) return ascii_iequal(author_domain, *identifier.domain);
  const std::string_view org = identifier.org_domain.value_or(*identifier.domain);
  if (org.empty() || author_org.empty()) return false;
  return ascii_iequal(org, author_org);
}

std::optional<DiscoveryResult>
walk_identifier(IdentifierResult &identifier, bool strict, std::string_view author_domain,
                std::string_view author_org, dns::TxtLookup &resolver, const PublicSuffixList *psl,
                std::pmr::memory_resource *allocator, std::int64_t deadline_ms) {
  // Only relaxed alignment of a passing identifier looks at its
  // organizational domain.
  if (strict || !identifier_passes(identifier) || !identifier.domain) return std::nullopt;
  if (ascii_iequal(*identifier.domain, author_domain)) {
    identifier.org_domain = author_org;
    return std::nullopt;
  }
  auto discovered = discover_policy(allocator, resolver, *identifier.domain, deadline_ms);
  // Without memory for the walk the identifier simply has no organizational
  // domain; relaxed alignment then compares its own domain.
  if (!discovered) return std::nullopt;
  std::optional<DiscoveryResult> walk(std::move(*discovered));
  identifier.org_domain = organizational_domain(*walk, psl);
  return walk;
}

std::optional<IdentifierResult> select_dkim(bool strict, std::string_view author_domain,
                                            std::string_view author_org,
                                            std::span<const IdentifierResult> dkim) noexcept {
  for (const auto &identifier : dkim)
    if (identifier_passes(identifier) &&
        identifier_aligned(author_domain, author_org, identifier, strict))
      return identifier;
  return std::nullopt;
}

EvaluationResult evaluate(const EvaluationRequest &request) {
  EvaluationResult out(request.allocator);
  if (deadline_passed(request.deadline_ms)) {
    log::log_message(Severity::warning,
                     "dmarc: evaluation deadline exceeded before policy discovery");
    end_early(out, DmarcResult::temperror, k_reason_deadline);
    return out;
  }
  const auto dkim = request.dkim.first(std::min(request.dkim.size(), k_max_dkim_identifiers));
  if (!reserve_walks(out, 2 + dkim.size())) {
    end_early(out, DmarcResult::temperror, k_reason_internal_error);
    return out;
  }
  auto discovered = discover_policy(request.allocator, *request.resolver, request.author_domain,
                                    request.deadline_ms);
  if (!discovered) {
    end_early(out, DmarcResult::temperror, k_reason_internal_error);
    return out;
  }
  if (ended_on_deadline(out, request.deadline_ms)) return out;
  const DiscoveryResult &author_walk = out.walks.emplace_back(std::move(*discovered));
  if (author_walk.records.empty()) {
    if (author_walk.dns_failed)
      end_early(out, DmarcResult::temperror, k_reason_dns_failed);
    else
      end_early(out, DmarcResult::none, k_reason_no_record);
    return out;
  }

  const DiscoveredRecord &found = policy_record(author_walk, request.author_domain);
  const DmarcRecord &record = found.record;
  out.policy_domain = found.name;
  PolicyAction p = record.p;
  bool sp_present = record.sp_present;
  if (!has_usable_policy(record)) {
    if (!record.rua_valid) {
      log::log_message(Severity::info, "dmarc: ", request.author_domain,
                       ": record has no usable policy and no valid rua=, no DMARC processing "
                       "per RFC 9989 4.10.1");
      end_early(out, DmarcResult::none, k_reason_no_usable_policy);
      return out;
    }
    // The owner wants reports: evaluate, but enforce nothing.
    log::log_message(Severity::info, "dmarc: ", request.author_domain,
                     ": record has no usable policy but a valid rua=, applying p=none per "
                     "RFC 9989 4.10.1");
    p = PolicyAction::none;
    sp_present = false;
  }
  out.aspf_strict = record.aspf_strict;
  out.adkim_strict = record.adkim_strict;
  out.author_org = organizational_domain(author_walk, request.psl);

  out.spf = request.spf;
  walk_into(out, out.spf, record.aspf_strict, request);
  if (ended_on_deadline(out, request.deadline_ms)) return out;
  std::array<IdentifierResult, k_max_dkim_identifiers> walked{};
  for (std::size_t i = 0; i < dkim.size(); ++i) {
    walked[i] = dkim[i];
    walk_into(out, walked[i], record.adkim_strict, request);
    if (ended_on_deadline(out, request.deadline_ms)) return out;
  }
  const std::span<const IdentifierResult> walked_dkim(walked.data(), dkim.size());

  out.spf_aligned =
      identifier_passes(out.spf) &&
      identifier_aligned(request.author_domain, out.author_org, out.spf, record.aspf_strict);
  out.dkim_selected =
      select_dkim(record.adkim_strict, request.author_domain, out.author_org, walked_dkim);
  out.fail = !out.spf_aligned && !out.dkim_selected;
  out.result = out.fail ? DmarcResult::fail : DmarcResult::pass;
  if (out.dkim_selected)
    out.dkim_reported = out.dkim_selected;
  else if (!walked_dkim.empty())
    out.dkim_reported = walked_dkim.front();

  // A subdomain takes sp when the record has one; where the record was found
  // plays no part.
  const bool own_org = ascii_iequal(request.author_domain, out.author_org);
  out.requested_policy = (own_org || !sp_present) ? p : record.sp;
  out.effective_policy = effective_policy(out.requested_policy, record, request);
  out.full = true;
  return out;
}

} // namespace corvane::dmarc
