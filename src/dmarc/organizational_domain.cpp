#include "dmarc/organizational_domain.hpp"

#include "core/ascii.hpp"
#include "dmarc/labels.hpp"
#include "log/log.hpp"

namespace corvane::dmarc {

namespace {

const DiscoveredRecord *first_with_psd(const DiscoveryResult &result, PsdFlag psd,
                                       bool skip_author_domain) noexcept {
  for (const auto &found : result.records) {
    if (found.record.psd != psd) continue;
    if (skip_author_domain && ascii_iequal(found.name, result.author_domain)) continue;
    return &found;
  }
  return nullptr;
}

// The record highest up the tree; the first found wins a tie.
const DiscoveredRecord &fewest_labels(const DiscoveryResult &result) noexcept {
  const DiscoveredRecord *best = &result.records.front();
  for (const auto &found : result.records)
    if (found.label_count < best->label_count) best = &found;
  return *best;
}

std::string_view below_or(std::string_view domain, std::string_view ancestor,
                          std::string_view fallback) noexcept {
  return one_label_below(domain, ancestor).value_or(fallback);
}

} // namespace

std::string_view organizational_domain(const DiscoveryResult &result,
                                       const PublicSuffixList *psl) noexcept {
  // psd=n: the record's owner declares itself the organizational domain.
  if (const auto *found = first_with_psd(result, PsdFlag::n, false)) return found->name;
  // psd=y above the walked domain: the organization sits one label below it.
  // A psd=y record at the walked domain itself says nothing about its parent.
  if (const auto *found = first_with_psd(result, PsdFlag::y, true))
    return below_or(result.author_domain, found->name, found->name);
  if (result.records.empty()) return result.author_domain;
  const std::string_view chosen = fewest_labels(result).name;
  if (psl == nullptr || !is_public_suffix(*psl, chosen)) return chosen;
  log::log_message(log::Severity::warning, "tree walk selected public suffix ", chosen,
                   " as organizational domain; overriding");
  return below_or(result.author_domain, chosen, result.author_domain);
}

} // namespace corvane::dmarc
