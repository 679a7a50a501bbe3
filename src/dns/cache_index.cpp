#include "dns/cache_index.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <utility>

namespace corvane::dns {

namespace {

constexpr std::size_t k_min_buckets = 16;

// The buckets for `entries` entries at most half full.
std::size_t buckets_for(std::size_t entries) {
  if (entries > std::numeric_limits<std::size_t>::max() / 4) throw std::bad_alloc();
  std::size_t buckets = k_min_buckets;
  while (buckets / 2 < entries)
    buckets *= 2;
  return buckets;
}

} // namespace

CacheIndex::CacheIndex(CacheIndex &&other) noexcept
    : buckets_(std::move(other.buckets_)), size_(std::exchange(other.size_, 0)) {}

void CacheIndex::reserve(std::size_t entries, std::size_t most) {
  if (buckets_.size() / 2 >= entries) return;
  const std::size_t wanted =
      std::max(buckets_for(entries), std::min(4 * buckets_.size(), buckets_for(most)));
  // Built aside and swapped in, so that running out of memory changes nothing.
  std::pmr::vector<Bucket> grown(wanted, Bucket{}, buckets_.get_allocator());
  for (const Bucket &bucket : buckets_)
    if (bucket.entry != nullptr) place(grown, bucket);
  buckets_ = std::move(grown);
}

void CacheIndex::place(std::pmr::vector<Bucket> &buckets, const Bucket &bucket) noexcept {
  const std::size_t mask = buckets.size() - 1;
  std::size_t at = static_cast<std::size_t>(bucket.hash) & mask;
  while (buckets[at].entry != nullptr)
    at = (at + 1) & mask;
  buckets[at] = bucket;
}

std::size_t CacheIndex::find(std::uint64_t hash, std::string_view key) const noexcept {
  if (buckets_.empty()) return npos;
  for (std::size_t at = home(hash);; at = next(at)) {
    const Bucket &bucket = buckets_[at];
    if (bucket.entry == nullptr) return npos;
    if (bucket.hash == hash && bucket.entry->key() == key) return at;
  }
}

void CacheIndex::replace(std::size_t bucket, CacheEntry *entry) noexcept {
  buckets_[bucket].entry = entry;
}

void CacheIndex::insert(std::uint64_t hash, CacheEntry *entry) noexcept {
  place(buckets_, Bucket{hash, entry});
  ++size_;
}

// The buckets after the freed one, up to the first free bucket, form the rest
// of its probe run. Each that may sit earlier (its home is not between the
// hole and itself) moves into the hole, which moves on to where it was; the
// last hole is freed. Every stored key then stays reachable from its home
// without a gap on the way.
void CacheIndex::erase(std::uint64_t hash, const CacheEntry *entry) noexcept {
  std::size_t hole = home(hash);
  while (buckets_[hole].entry != entry)
    hole = next(hole);
  const std::size_t mask = buckets_.size() - 1;
  for (std::size_t at = next(hole); buckets_[at].entry != nullptr; at = next(at)) {
    const std::size_t from_home = (at - home(buckets_[at].hash)) & mask;
    const std::size_t from_hole = (at - hole) & mask;
    if (from_home >= from_hole) {
      buckets_[hole] = buckets_[at];
      hole = at;
    }
  }
  buckets_[hole] = Bucket{};
  --size_;
}

} // namespace corvane::dns
