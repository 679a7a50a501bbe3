#include "dns/cache.hpp"

#include "core/clock.hpp"
#include "core/wyhash.hpp"
#include "log/log.hpp"
#include "platform/random.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <new>
#include <utility>

namespace corvane::dns {

namespace {

// Names up to this length build their key on the stack; a name this long
// could never have been sent, so longer ones are rare and may allocate.
constexpr std::size_t k_stack_key_size = 256 + k_cache_key_suffix.size();

constexpr std::size_t k_min_slots = 16;
constexpr std::size_t k_max_slots = std::numeric_limits<std::uint32_t>::max();

// Without the system's random source the clock stands in: still not known to
// a sender in advance.
std::uint64_t random_seed() noexcept {
  std::array<std::byte, 8> bytes{};
  if (!platform::fill_random(bytes)) return static_cast<std::uint64_t>(realtime_ns());
  std::uint64_t seed = 0;
  for (const std::byte b : bytes)
    seed = seed << 8 | std::to_integer<std::uint64_t>(b);
  return seed;
}

std::uint32_t clamp_positive_ttl(const AnswerList &answers) {
  std::uint32_t ttl = answers.front().ttl;
  for (const auto &answer : answers)
    ttl = std::min(ttl, answer.ttl);
  return std::clamp(ttl, k_min_positive_ttl, k_max_positive_ttl);
}

} // namespace

std::pmr::string cache_key(std::string_view query_name, std::pmr::memory_resource *allocator) {
  std::pmr::string key(cache_key_size(query_name), '\0', allocator);
  write_cache_key(query_name, key.data());
  return key;
}

DnsCache::DnsCache(std::pmr::memory_resource *allocator, std::uint32_t capacity,
                   std::uint32_t negative_ttl, SecondsClock clock)
    : index_(allocator), slots_(allocator), expiry_(allocator), allocator_(allocator),
      capacity_(capacity == 0 ? k_default_cache_size : capacity),
      negative_ttl_(negative_ttl == 0 ? k_default_negative_ttl : negative_ttl),
      hash_seed_(random_seed()), clock_(clock) {}

// The moved-from cache owns no entry and frees nothing.
DnsCache::DnsCache(DnsCache &&other) noexcept
    : index_(std::move(other.index_)), slots_(std::move(other.slots_)),
      expiry_(std::move(other.expiry_)), head_(std::exchange(other.head_, 0)),
      tail_(std::exchange(other.tail_, 0)), allocator_(other.allocator_),
      capacity_(other.capacity_), negative_ttl_(other.negative_ttl_), hash_seed_(other.hash_seed_),
      clock_(other.clock_) {}

DnsCache::~DnsCache() {
  const CacheEntryRelease release{allocator_};
  for (std::size_t i = head_; i < tail_; ++i)
    if (slots_[i].entry != nullptr) release(slots_[i].entry);
}

const CacheEntry *DnsCache::find(std::string_view query_name) const {
  const std::size_t key_size = cache_key_size(query_name);
  if (key_size > k_stack_key_size) return find_key(cache_key(query_name, allocator_));
  std::array<char, k_stack_key_size> key;
  write_cache_key(query_name, key.data());
  return find_key({key.data(), key_size});
}

const CacheEntry *DnsCache::find_key(std::string_view key) const noexcept {
  const std::size_t bucket = index_.find(key_hash(key), key);
  return bucket == CacheIndex::npos ? nullptr : index_.at(bucket);
}

std::uint64_t DnsCache::key_hash(std::string_view key) const noexcept {
  return wyhash(key, hash_seed_);
}

bool DnsCache::contains(std::string_view query_name) const { return find(query_name) != nullptr; }

Result<CacheLookup> DnsCache::cache_get(std::string_view query_name) {
  return catch_out_of_memory([&]() -> Result<CacheLookup> {
    const CacheEntry *entry = find(query_name);
    // An entry whose expiry is this very second is already stale; it stays in
    // place until replaced or evicted.
    if (entry == nullptr || clock_() >= entry->expires) {
      log::log_message(log::Severity::debug, "dns: cache miss ", query_name);
      return CacheLookup{CacheMiss{}};
    }
    if (entry->negative) {
      log::log_message(log::Severity::debug, "dns: cache negative hit ", query_name,
                       " kind=", negative_kind_name(entry->kind));
      return CacheLookup{entry->kind};
    }
    log::log_message(log::Severity::debug, "dns: cache hit ", query_name);
    return CacheLookup{cache_entry_answers(*entry, allocator_)};
  });
}

void DnsCache::cache_put_answers(std::string_view query_name, const AnswerList &answers) {
  if (answers.empty()) return;
  const std::int64_t now = clock_();
  try {
    CacheEntryPtr entry = make_cache_entry(allocator_, query_name, answers);
    entry->expires = now + clamp_positive_ttl(answers);
    store(std::move(entry), now);
  } catch (const std::bad_alloc &) {
    // Not stored; the lookup's outcome stands.
  }
}

void DnsCache::cache_put_negative(std::string_view query_name, NegativeKind kind) {
  const std::int64_t now = clock_();
  try {
    CacheEntryPtr entry = make_cache_entry(allocator_, query_name, {});
    entry->expires = now + negative_ttl_;
    entry->kind = kind;
    entry->negative = true;
    store(std::move(entry), now);
  } catch (const std::bad_alloc &) {
    // Not stored; the lookup's outcome stands.
  }
}

// Everything that may allocate happens before anything is removed, so that
// running out of memory leaves the cache as it was. The index is made ready
// for the most entries it can hold after this insert; a slot reserved without
// need is merely used by a later insert. In a large cache the new key's
// bucket, the evicted entry and its bucket are each a cache miss; they are
// fetched side by side rather than one after another.
void DnsCache::store(CacheEntryPtr entry, std::int64_t now) {
  const std::uint64_t hash = key_hash(entry->key());
  index_.prefetch(hash);
  index_.reserve(std::min<std::size_t>(index_.size() + 1, capacity_), capacity_);
  reserve_slot();
  make_room(now);
  place(entry.release(), hash);
}

// A key stored again keeps its slot, so a replaced entry keeps its age for
// eviction; the old entry is freed.
void DnsCache::place(CacheEntry *entry, std::uint64_t hash) noexcept {
  const std::size_t bucket = index_.find(hash, entry->key());
  if (bucket == CacheIndex::npos) {
    entry->slot = static_cast<std::uint32_t>(tail_++);
    index_.insert(hash, entry);
  } else {
    CacheEntry *old = index_.at(bucket);
    entry->slot = old->slot;
    index_.replace(bucket, entry);
    CacheEntryRelease{allocator_}(old);
  }
  slots_[entry->slot] = Slot{entry, hash};
  expiry_.set(entry->slot, entry->expires);
}

// When the row has room for twice the live entries, they are packed where
// they are, which allocates nothing; otherwise into a row at least twice as
// large, built aside and swapped in, so that running out of memory changes
// nothing. A row of twice the capacity always suffices, so a row that would
// outgrow the capacity takes that size at once: a cache grows its row while
// it fills, never once it is full.
void DnsCache::reserve_slot() {
  if (tail_ < slots_.size()) return;
  const std::size_t wanted = 2 * (index_.size() + 1);
  if (slots_.size() >= wanted) {
    pack_slots(slots_, expiry_);
    return;
  }
  // Slot numbers are kept in 32 bits.
  if (wanted > k_max_slots) throw std::bad_alloc();
  std::size_t size = std::max({k_min_slots, 2 * slots_.size(), wanted});
  if (size > capacity_) size = 2 * (std::size_t{capacity_} + 1);
  size = std::min(size, k_max_slots);
  ExpiryTree expiry(allocator_, size);
  std::pmr::vector<Slot> slots(expiry.slots(), Slot{}, allocator_);
  pack_slots(slots, expiry);
  slots_ = std::move(slots);
  expiry_ = std::move(expiry);
}

// Moves the live slots, in order, to the front of `slots` and `expiry`: the
// row itself (no slot is written before it is read) or an empty larger one.
// The entries are written to but not read, so their misses do not stall.
void DnsCache::pack_slots(std::pmr::vector<Slot> &slots, ExpiryTree &expiry) noexcept {
  std::size_t packed = 0;
  for (std::size_t i = head_; i < tail_; ++i) {
    const Slot slot = slots_[i];
    if (slot.entry == nullptr) continue;
    slot.entry->slot = static_cast<std::uint32_t>(packed);
    slots[packed] = slot;
    expiry.place(packed, expiry_.expires(i));
    ++packed;
  }
  for (std::size_t i = packed; i < tail_; ++i) {
    slots[i] = Slot{};
    expiry.place(i, ExpiryTree::k_empty);
  }
  expiry.rebuild();
  head_ = 0;
  tail_ = packed;
}

void DnsCache::remove_slot(std::size_t slot) noexcept {
  const Slot removed = slots_[slot];
  __builtin_prefetch(removed.entry); // freeing it touches it
  slots_[slot] = Slot{};
  expiry_.clear(slot);
  index_.erase(removed.hash, removed.entry);
  CacheEntryRelease{allocator_}(removed.entry);
  while (head_ < tail_ && slots_[head_].entry == nullptr)
    ++head_;
}

// One removal frees the room: the cache never holds more than capacity
// entries. The expired entry inserted first goes, else the oldest entry.
void DnsCache::make_room(std::int64_t now) {
  while (index_.size() != 0 && index_.size() >= capacity_) {
    const std::size_t expired = expiry_.first_expired(now);
    remove_slot(expired != ExpiryTree::npos ? expired : head_);
  }
}

} // namespace corvane::dns
