#include "check/output.hpp"

#include "core/ascii.hpp"

namespace corvane::check {

namespace {

struct Lines {
  std::string_view result;
  std::string_view disposition = "none";
  std::string_view policy_domain;
  std::string_view from_org;
  std::string_view spf_org;
  bool spf_aligned = false;
  std::string_view dkim_org;
  bool dkim_aligned = false;
};

Lines early_lines(const dmarc::EvaluationResult &outcome) {
  Lines lines;
  lines.result = dmarc::result_word(outcome.result);
  // Only a record without usable policy names where it was; a deadline that
  // passed after discovery leaves nothing half-reported.
  if (outcome.reason == dmarc::k_reason_no_usable_policy)
    lines.policy_domain = outcome.policy_domain;
  return lines;
}

bool aligned(std::string_view author_domain, const dmarc::EvaluationResult &outcome,
             const std::optional<dmarc::IdentifierResult> &identifier, bool strict) {
  return identifier &&
         dmarc::identifier_aligned(author_domain, outcome.author_org, *identifier, strict);
}

Lines full_lines(std::string_view author_domain, const dmarc::EvaluationResult &outcome) {
  Lines lines;
  lines.result = dmarc::result_word(outcome.result);
  lines.disposition = dmarc::policy_word(outcome.effective_policy);
  lines.policy_domain = outcome.policy_domain;
  lines.from_org = outcome.author_org;
  lines.spf_org = outcome.spf.org_domain.value_or("");
  lines.spf_aligned = aligned(author_domain, outcome, outcome.spf, outcome.aspf_strict);
  if (outcome.dkim_reported) lines.dkim_org = outcome.dkim_reported->org_domain.value_or("");
  lines.dkim_aligned = aligned(author_domain, outcome, outcome.dkim_reported, outcome.adkim_strict);
  return lines;
}

// Values come from the command line and from names the DNS walk derived
// from it: a control byte in them must not add a line or rewrite one, so the
// output is always exactly eight lines.
void add(std::string &out, std::string_view key, std::string_view value) {
  out.append(key).append("=");
  for (const char c : value)
    out.push_back(is_ascii_control(c) ? '?' : c);
  out.append("\n");
}

std::string_view yes_no(bool value) { return value ? "yes" : "no"; }

} // namespace

std::string format_check_output(std::string_view author_domain,
                                const dmarc::EvaluationResult &outcome) {
  const Lines lines = outcome.full ? full_lines(author_domain, outcome) : early_lines(outcome);
  std::string out;
  add(out, "result", lines.result);
  add(out, "disposition", lines.disposition);
  add(out, "policy_domain", lines.policy_domain);
  add(out, "from_org", lines.from_org);
  add(out, "spf_org", lines.spf_org);
  add(out, "spf_aligned", yes_no(lines.spf_aligned));
  add(out, "dkim_org", lines.dkim_org);
  add(out, "dkim_aligned", yes_no(lines.dkim_aligned));
  return out;
}

} // namespace corvane::check
