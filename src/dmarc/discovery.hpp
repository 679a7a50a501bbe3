#pragma once

#include "core/result.hpp"
#include "dmarc/record.hpp"
#include "dns/answer.hpp"

#include <cstdint>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::dmarc {

inline constexpr unsigned k_max_walk_lookups = 8;

struct DiscoveredRecord {
  std::string_view name; // the lookup's target, without "_dmarc."; points into `names`
  DmarcRecord record;
  std::uint64_t label_count = 0;
};

// The records of one tree walk. Every text lives in `allocator`; the views
// (record names, author_domain) point into `names`, whose strings never move:
// the list is sized for every target of a walk before the first is stored,
// and a DiscoveryResult can be moved only by construction, which hands the
// buffers over whole. Copying or assigning one would leave the views behind,
// so neither is allowed.
struct DiscoveryResult {
  explicit DiscoveryResult(std::pmr::memory_resource *allocator_);
  DiscoveryResult(DiscoveryResult &&) noexcept = default;
  DiscoveryResult(const DiscoveryResult &) = delete;
  DiscoveryResult &operator=(const DiscoveryResult &) = delete;
  DiscoveryResult &operator=(DiscoveryResult &&) = delete;

  std::pmr::memory_resource *allocator;
  std::pmr::vector<DiscoveredRecord> records; // walk order: longest name first
  std::pmr::vector<std::pmr::string> names;   // every target of the walk
  std::string_view author_domain;             // the walked domain as passed in
  bool dns_failed = false;                    // some lookup failed for a DNS reason
};

// The tree walk for "_dmarc." records above and at the domain: at most 8
// lookups, stopped early by a psd tag. DNS failures set dns_failed and the walk
// goes on; the only error is OutOfMemory from the walk's own bookkeeping.
// Every lookup gets the evaluation's deadline (wall-clock milliseconds): past
// it, what the cache does not hold fails as a DNS failure.
Result<DiscoveryResult> discover_policy(std::pmr::memory_resource *allocator,
                                        dns::TxtLookup &resolver, std::string_view domain,
                                        std::int64_t deadline_ms);

} // namespace corvane::dmarc
