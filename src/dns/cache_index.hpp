#pragma once

#include "dns/cache_entry.hpp"

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <string_view>
#include <vector>

namespace corvane::dns {

// The cache's hash table from key to entry: one flat row of buckets holding
// each entry's hash beside its address, searched by linear probing and kept at
// most half full, so that a lookup mostly reads one cache line of buckets and
// then the one entry it wants. A removal shifts the rest of its probe run back
// instead of leaving a marker, so probe runs never lengthen with churn. The
// index does not own the entries.
class CacheIndex {
public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // No buckets; allocates nothing.
  explicit CacheIndex(std::pmr::memory_resource *allocator) : buckets_(allocator) {}
  CacheIndex(CacheIndex &&other) noexcept;
  CacheIndex(const CacheIndex &) = delete;
  CacheIndex &operator=(const CacheIndex &) = delete;
  CacheIndex &operator=(CacheIndex &&) = delete;

  std::size_t size() const noexcept { return size_; }
  std::size_t buckets() const noexcept { return buckets_.size(); }

  // Room for `entries` entries, so that inserting up to that many cannot
  // fail. The index grows fourfold at a time, up to the size `most` entries
  // need, so that a filling cache copies its buckets fewer times. Throws
  // std::bad_alloc and then leaves the index as it was.
  void reserve(std::size_t entries, std::size_t most);

  // The bucket of the entry stored under `key` (whose hash is `hash`), or npos.
  std::size_t find(std::uint64_t hash, std::string_view key) const noexcept;
  CacheEntry *at(std::size_t bucket) const noexcept { return buckets_[bucket].entry; }
  // Puts another entry for the same key in the bucket.
  void replace(std::size_t bucket, CacheEntry *entry) noexcept;

  // Adds an entry whose key (hashing to `hash`) is absent, into room
  // reserved before.
  void insert(std::uint64_t hash, CacheEntry *entry) noexcept;
  // Removes a stored entry, given its key's hash.
  void erase(std::uint64_t hash, const CacheEntry *entry) noexcept;

  // Starts fetching the buckets where `hash` is probed from, so that the
  // wait overlaps other work.
  void prefetch(std::uint64_t hash) const noexcept {
    if (!buckets_.empty()) __builtin_prefetch(&buckets_[home(hash)]);
  }

private:
  struct Bucket {
    std::uint64_t hash = 0;
    CacheEntry *entry = nullptr; // none: the bucket is free
  };

  std::size_t home(std::uint64_t hash) const noexcept {
    return static_cast<std::size_t>(hash) & (buckets_.size() - 1);
  }
  std::size_t next(std::size_t bucket) const noexcept {
    return (bucket + 1) & (buckets_.size() - 1);
  }
  static void place(std::pmr::vector<Bucket> &buckets, const Bucket &bucket) noexcept;

  std::pmr::vector<Bucket> buckets_; // a power of two of them, or none
  std::size_t size_ = 0;
};

} // namespace corvane::dns
