#pragma once

#include "core/result.hpp"
#include "dns/answer.hpp"
#include "dns/cache_entry.hpp"
#include "dns/cache_index.hpp"
#include "dns/expiry_tree.hpp"

#include <cstdint>
#include <memory_resource>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvane::dns {

// The whole-second wall clock the cache ages entries by; tests hand in one of
// their own.
using SecondsClock = std::int64_t (*)() noexcept;

inline constexpr std::uint32_t k_default_cache_size = 1000;
inline constexpr std::uint32_t k_default_negative_ttl = 60;
inline constexpr std::uint32_t k_min_positive_ttl = 30;
inline constexpr std::uint32_t k_max_positive_ttl = 86400;

// The key of a query name: the name, ":", the query type, folded to lower
// case, so that every spelling of a name finds the same entry.
std::pmr::string cache_key(std::string_view query_name, std::pmr::memory_resource *allocator);

struct CacheMiss {};
// What cache_get found: the answers of a fresh positive entry (a copy owned by
// the caller), the kind of a fresh negative entry, or nothing usable.
using CacheLookup = std::variant<CacheMiss, AnswerList, NegativeKind>;

// Recent lookup outcomes of one resolver, never shared between threads.
// At most `capacity` entries; when full, the expired entry inserted first
// leaves, or when none has expired the entry inserted first (reads do not
// refresh an entry). Inserting and making room cost the same whatever the
// size: the insertion order is a row of slots with a tree of their expiry
// times, not a list to walk, and an entry is one block found through a flat
// hash table.
class DnsCache {
public:
  // capacity 0 means 1000 and negative_ttl 0 means 60 seconds.
  DnsCache(std::pmr::memory_resource *allocator, std::uint32_t capacity, std::uint32_t negative_ttl,
           SecondsClock clock);
  DnsCache(DnsCache &&other) noexcept;
  DnsCache(const DnsCache &) = delete;
  DnsCache &operator=(const DnsCache &) = delete;
  DnsCache &operator=(DnsCache &&) = delete;
  ~DnsCache();

  // Logs the hit, negative hit or miss at debug. Fails only with OutOfMemory
  // while copying answers.
  Result<CacheLookup> cache_get(std::string_view query_name);

  // Stores a copy of a non-empty answer list for the smallest TTL among the
  // answers, kept within 30 seconds and one day. Running out of memory leaves
  // the cache as it was: the lookup's own outcome does not depend on it.
  void cache_put_answers(std::string_view query_name, const AnswerList &answers);
  void cache_put_negative(std::string_view query_name, NegativeKind kind);

  // Frees room for one insert when the cache is full.
  void make_room(std::int64_t now);

  // Whether an entry, fresh or stale, is stored under the name.
  bool contains(std::string_view query_name) const;

  std::size_t size() const noexcept { return index_.size(); }
  std::uint32_t capacity() const noexcept { return capacity_; }
  std::uint32_t negative_ttl() const noexcept { return negative_ttl_; }

private:
  // A place in the insertion order: the entry with its key's hash, so that
  // evicting it finds its bucket without reading the entry first.
  struct Slot {
    CacheEntry *entry = nullptr; // none: the slot is empty
    std::uint64_t hash = 0;
  };

  const CacheEntry *find(std::string_view query_name) const;
  const CacheEntry *find_key(std::string_view key) const noexcept;
  std::uint64_t key_hash(std::string_view key) const noexcept;
  void store(CacheEntryPtr entry, std::int64_t now);
  void place(CacheEntry *entry, std::uint64_t hash) noexcept;
  void reserve_slot();
  void pack_slots(std::pmr::vector<Slot> &slots, ExpiryTree &expiry) noexcept;
  void remove_slot(std::size_t slot) noexcept;

  CacheIndex index_; // owns nothing: the slots own the entries
  // Every entry in order of first insertion, one slot each, from head_ up to
  // tail_; a removed entry leaves an empty slot behind. When tail_ reaches
  // the end, the live slots are packed to the front of a row at least twice
  // their number, so packing costs O(1) per insert over time.
  std::pmr::vector<Slot> slots_;
  ExpiryTree expiry_; // the expiry time of every slot; empty slots never expire
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
  std::pmr::memory_resource *allocator_;
  std::uint32_t capacity_;
  std::uint32_t negative_ttl_;
  // Keys the hash of every key: names come from the mail, and with a hash
  // known in advance a sender could pick names that all share one probe run.
  std::uint64_t hash_seed_;
  SecondsClock clock_;
};

} // namespace corvane::dns
