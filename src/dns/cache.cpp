#include "dns/cache.hpp"

#include "core/ascii.hpp"
#include "log/log.hpp"

#include <algorithm>
#include <array>
#include <charconv>

namespace corvane::dns {

namespace {

constexpr std::string_view k_txt_key_suffix = ":16";

// Names up to this length build their key on the stack; a name this long
// could never have been sent, so longer ones are rare and may allocate.
constexpr std::size_t k_stack_key_size = 256 + k_txt_key_suffix.size();

template <typename Out> void write_key(std::string_view query_name, Out &out) {
  for (const char c : query_name)
    out.push_back(ascii_lower(c));
  for (const char c : k_txt_key_suffix)
    out.push_back(c);
}

class StackKey {
public:
  void push_back(char c) noexcept { bytes_[length_++] = c; }
  std::string_view view() const noexcept { return {bytes_.data(), length_}; }

private:
  std::array<char, k_stack_key_size> bytes_;
  std::size_t length_ = 0;
};

std::uint32_t clamp_positive_ttl(const AnswerList &answers) {
  std::uint32_t ttl = answers.front().ttl;
  for (const auto &answer : answers)
    ttl = std::min(ttl, answer.ttl);
  return std::clamp(ttl, k_min_positive_ttl, k_max_positive_ttl);
}

} // namespace

std::string_view negative_kind_name(NegativeKind kind) noexcept {
  switch (kind) {
  case NegativeKind::name_error: return "name_error";
  case NegativeKind::server_failure: return "server_failure";
  case NegativeKind::timeout: return "timeout";
  }
  return "timeout";
}

std::pmr::string cache_key(std::string_view query_name, std::pmr::memory_resource *allocator) {
  std::pmr::string key(allocator);
  key.reserve(query_name.size() + k_txt_key_suffix.size());
  write_key(query_name, key);
  return key;
}

DnsCache::DnsCache(std::pmr::memory_resource *allocator, std::uint32_t capacity,
                   std::uint32_t negative_ttl, SecondsClock clock)
    : map_(allocator), slots_(allocator), expiry_(allocator), allocator_(allocator),
      capacity_(capacity == 0 ? k_default_cache_size : capacity),
      negative_ttl_(negative_ttl == 0 ? k_default_negative_ttl : negative_ttl), clock_(clock) {}

DnsCache::Map::const_iterator DnsCache::find(std::string_view query_name) const {
  if (query_name.size() + k_txt_key_suffix.size() <= k_stack_key_size) {
    StackKey key;
    write_key(query_name, key);
    return map_.find(key.view());
  }
  return map_.find(std::string_view(cache_key(query_name, allocator_)));
}

bool DnsCache::contains(std::string_view query_name) const {
  return find(query_name) != map_.end();
}

Result<CacheLookup> DnsCache::cache_get(std::string_view query_name) {
  return catch_out_of_memory([&]() -> Result<CacheLookup> {
    const auto found = find(query_name);
    // An entry whose expiry is this very second is already stale; it stays in
    // place until replaced or evicted.
    if (found == map_.end() || clock_() >= found->second.expires) {
      log::log_message(log::Severity::debug, "dns: cache miss ", query_name);
      return CacheLookup{CacheMiss{}};
    }
    const CacheEntry &entry = found->second;
    if (entry.negative) {
      log::log_message(log::Severity::debug, "dns: cache negative hit ", query_name,
                       " kind=", negative_kind_name(entry.kind));
      return CacheLookup{entry.kind};
    }
    log::log_message(log::Severity::debug, "dns: cache hit ", query_name);
    return CacheLookup{copy_answers(entry.answers, allocator_)};
  });
}

void DnsCache::cache_put_answers(std::string_view query_name, const AnswerList &answers) {
  if (answers.empty()) return;
  const std::int64_t now = clock_();
  try {
    CacheEntry entry(allocator_);
    entry.answers = copy_answers(answers, allocator_);
    entry.expires = now + clamp_positive_ttl(answers);
    make_room(now);
    insert(query_name, std::move(entry));
  } catch (const std::bad_alloc &) {
    // Not stored; the lookup's outcome stands.
  }
}

void DnsCache::cache_put_negative(std::string_view query_name, NegativeKind kind) {
  const std::int64_t now = clock_();
  try {
    CacheEntry entry(allocator_);
    entry.expires = now + negative_ttl_;
    entry.kind = kind;
    entry.negative = true;
    make_room(now);
    insert(query_name, std::move(entry));
  } catch (const std::bad_alloc &) {
    // Not stored; the lookup's outcome stands.
  }
}

// A key stored again keeps its stored copy and its slot, so a replaced entry
// keeps its age for eviction. Either the entry is stored whole or, when
// memory runs out, the cache holds what it held before (a slot reserved
// without need is merely used by a later insert).
void DnsCache::insert(std::string_view query_name, CacheEntry &&entry) {
  std::pmr::string key = cache_key(query_name, allocator_);
  reserve_slot();
  auto [placed, inserted] = map_.try_emplace(std::move(key), std::move(entry));
  Node &node = *placed;
  if (inserted) {
    node.second.slot = tail_;
    slots_[tail_++] = &node;
  } else {
    entry.slot = node.second.slot; // try_emplace left `entry` alone
    node.second = std::move(entry);
  }
  expiry_.set(node.second.slot, node.second.expires);
}

void DnsCache::reserve_slot() {
  if (tail_ < slots_.size()) return;
  std::size_t size = std::max<std::size_t>(16, slots_.size());
  while (size < 2 * (map_.size() + 1))
    size *= 2;
  // Built aside and swapped in, so that running out of memory changes nothing.
  ExpiryTree expiry(allocator_, size);
  std::pmr::vector<Node *> slots(expiry.slots(), nullptr, allocator_);
  std::size_t packed = 0;
  for (std::size_t i = head_; i < tail_; ++i) {
    Node *node = slots_[i];
    if (node == nullptr) continue;
    node->second.slot = packed;
    slots[packed] = node;
    expiry.place(packed, node->second.expires);
    ++packed;
  }
  expiry.rebuild();
  slots_ = std::move(slots);
  expiry_ = std::move(expiry);
  head_ = 0;
  tail_ = packed;
}

void DnsCache::remove_slot(std::size_t slot) {
  Node *node = slots_[slot];
  slots_[slot] = nullptr;
  expiry_.clear(slot);
  map_.erase(map_.find(std::string_view(node->first)));
  while (head_ < tail_ && slots_[head_] == nullptr)
    ++head_;
}

// One removal frees the room: the cache never holds more than capacity
// entries. The expired entry inserted first goes, else the oldest entry.
void DnsCache::make_room(std::int64_t now) {
  while (!map_.empty() && map_.size() >= capacity_) {
    const std::size_t expired = expiry_.first_expired(now);
    remove_slot(expired != ExpiryTree::npos ? expired : head_);
  }
}

} // namespace corvane::dns
