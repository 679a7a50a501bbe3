#pragma once

#include "core/result.hpp"
#include "core/string_hash.hpp"
#include "dns/answer.hpp"
#include "dns/expiry_tree.hpp"

#include <cstdint>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

namespace corvane::dns {

// Why a lookup failed, as remembered by the cache; the words are those of
// the cache's log line.
enum class NegativeKind : std::uint8_t { name_error = 0, server_failure = 1, timeout = 2 };

std::string_view negative_kind_name(NegativeKind kind) noexcept;

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
// times, not a list to walk.
class DnsCache {
public:
  struct CacheEntry {
    using allocator_type = std::pmr::polymorphic_allocator<char>;
    explicit CacheEntry(const allocator_type &allocator) : answers(allocator) {}
    CacheEntry(CacheEntry &&other, const allocator_type &allocator)
        : answers(std::move(other.answers), allocator), expires(other.expires), kind(other.kind),
          negative(other.negative), slot(other.slot) {}

    AnswerList answers;       // empty for a negative entry
    std::int64_t expires = 0; // fresh while now < expires
    NegativeKind kind = NegativeKind::name_error;
    bool negative = false;
    std::size_t slot = 0; // the entry's place in the insertion order
  };

  // capacity 0 means 1000 and negative_ttl 0 means 60 seconds.
  DnsCache(std::pmr::memory_resource *allocator, std::uint32_t capacity, std::uint32_t negative_ttl,
           SecondsClock clock);
  // The slots point into the map's nodes, which a move hands over whole.
  DnsCache(DnsCache &&) noexcept = default;
  DnsCache(const DnsCache &) = delete;
  DnsCache &operator=(const DnsCache &) = delete;
  DnsCache &operator=(DnsCache &&) = delete;

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

  std::size_t size() const noexcept { return map_.size(); }
  std::uint32_t capacity() const noexcept { return capacity_; }
  std::uint32_t negative_ttl() const noexcept { return negative_ttl_; }

private:
  using Map = std::pmr::unordered_map<std::pmr::string, CacheEntry, StringHash, std::equal_to<>>;
  using Node = Map::value_type;

  Map::const_iterator find(std::string_view query_name) const;
  void insert(std::string_view query_name, CacheEntry &&entry);
  void reserve_slot();
  void remove_slot(std::size_t slot);

  Map map_;
  // Every entry of the map in order of first insertion, one slot each, from
  // head_ up to tail_; a removed entry leaves an empty slot behind. The
  // pointers name the map's nodes, which never move. When tail_ reaches the
  // end, the live slots are packed to the front of a row at least twice
  // their number, so packing costs O(1) per insert over time.
  std::pmr::vector<Node *> slots_;
  ExpiryTree expiry_; // the expiry time of every slot; empty slots never expire
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
  std::pmr::memory_resource *allocator_;
  std::uint32_t capacity_;
  std::uint32_t negative_ttl_;
  SecondsClock clock_;
};

} // namespace corvane::dns
