#include "dmarc/discovery.hpp"

#include "dmarc/labels.hpp"

namespace corvane::dmarc {

namespace {

constexpr std::string_view k_dmarc_prefix = "_dmarc.";

// Names that cannot hold a record, as opposed to a DNS failure, after which a
// record may still exist and the walk has to remember that it could not see it.
bool means_no_record(Error error) noexcept {
  switch (error) {
  case Error::DnsNameError:
  case Error::EmptyLabel:
  case Error::LabelTooLong:
  case Error::TooManyLabels:
  case Error::NameTooLong: return true;
  default: return false;
  }
}

// The next, shorter target. Names of 9 or more labels jump straight to 7, so
// that a long name still leaves lookups for the upper levels.
std::optional<std::string_view> next_target(std::string_view target) noexcept {
  const std::uint64_t n = label_count(target);
  if (n < 2) return std::nullopt; // the root is never asked
  return strip_labels(target, n <= 8 ? 1 : n - 7);
}

// The resolver reports running out of memory as OutOfMemory; one that throws
// instead is taken the same way.
Result<dns::AnswerList> ask(dns::TxtLookup &resolver, std::string_view query_name,
                            std::int64_t deadline_ms) {
  return catch_out_of_memory([&] { return resolver.lookup_txt(query_name, deadline_ms); });
}

// One lookup. Returns the record found at the target, if any; a DNS failure
// marks the walk. Throws std::bad_alloc from the walk's own copies.
std::optional<DmarcRecord> look_up(DiscoveryResult &result, dns::TxtLookup &resolver,
                                   std::pmr::string &query_name, std::string_view target,
                                   std::int64_t deadline_ms) {
  try {
    query_name.clear(); // keeps the buffer: only a longer name than before allocates
    query_name.append(k_dmarc_prefix).append(target);
  } catch (const std::bad_alloc &) {
    // Not being able to ask is a lookup that failed, not a failed walk.
    result.dns_failed = true;
    return std::nullopt;
  }
  const auto answers = ask(resolver, query_name, deadline_ms);
  if (!answers) {
    if (!means_no_record(answers.error())) result.dns_failed = true;
    return std::nullopt;
  }
  return select_dmarc_record(*answers, result.allocator);
}

Result<DiscoveryResult> walk(std::pmr::memory_resource *allocator, dns::TxtLookup &resolver,
                             std::string_view domain, std::int64_t deadline_ms) {
  DiscoveryResult result(allocator);
  result.names.reserve(k_max_walk_lookups);
  result.records.reserve(k_max_walk_lookups);
  std::string_view target = result.names.emplace_back(domain);
  result.author_domain = target;
  std::pmr::string query_name(allocator);
  for (unsigned lookup = 0; lookup < k_max_walk_lookups; ++lookup) {
    if (auto record = look_up(result, resolver, query_name, target, deadline_ms)) {
      const PsdFlag psd = record->psd;
      result.records.push_back({target, std::move(*record), label_count(target)});
      // A psd tag says where the organizational domain is; nothing higher up
      // can change that.
      if (psd != PsdFlag::absent) break;
    }
    const auto next = next_target(target);
    if (!next || lookup + 1 == k_max_walk_lookups) break;
    target = result.names.emplace_back(*next);
  }
  return result;
}

} // namespace

DiscoveryResult::DiscoveryResult(std::pmr::memory_resource *allocator_)
    : allocator(allocator_), records(allocator_), names(allocator_) {}

Result<DiscoveryResult> discover_policy(std::pmr::memory_resource *allocator,
                                        dns::TxtLookup &resolver, std::string_view domain,
                                        std::int64_t deadline_ms) {
  return catch_out_of_memory([&] { return walk(allocator, resolver, domain, deadline_ms); });
}

} // namespace corvane::dmarc
