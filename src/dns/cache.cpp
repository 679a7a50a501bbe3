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
    : map_(allocator), order_(allocator), allocator_(allocator),
      capacity_(capacity == 0 ? k_default_cache_size : capacity),
      negative_ttl_(negative_ttl == 0 ? k_default_negative_ttl : negative_ttl), clock_(clock) {}

Result<CacheLookup> DnsCache::cache_get(std::string_view query_name) {
  return catch_out_of_memory([&]() -> Result<CacheLookup> {
    Map::const_iterator found;
    if (query_name.size() + k_txt_key_suffix.size() <= k_stack_key_size) {
      StackKey key;
      write_key(query_name, key);
      found = map_.find(key.view());
    } else {
      found = map_.find(std::string_view(cache_key(query_name, allocator_)));
    }
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

// A key stored again keeps its stored copy and its place in the order, so a
// replaced entry keeps its age for eviction.
void DnsCache::insert(std::string_view query_name, CacheEntry &&entry) {
  std::pmr::string key = cache_key(query_name, allocator_);
  if (auto found = map_.find(std::string_view(key)); found != map_.end()) {
    found->second = std::move(entry);
    return;
  }
  order_.reserve(order_.size() + 1); // so that the append below cannot fail
  auto [placed, inserted] = map_.emplace(std::move(key), std::move(entry));
  (void)inserted;
  order_.push_back(&placed->first);
}

void DnsCache::remove_at(std::size_t order_index) {
  const std::pmr::string *key = order_[order_index];
  order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(order_index));
  map_.erase(map_.find(std::string_view(*key)));
}

void DnsCache::make_room(std::int64_t now) {
  if (map_.size() < capacity_) return;
  std::size_t index = 0;
  while (index < order_.size()) {
    if (map_.find(std::string_view(*order_[index]))->second.expires > now) {
      ++index;
      continue;
    }
    remove_at(index);
    if (map_.size() < capacity_) return;
  }
  if (!order_.empty()) remove_at(0);
}

} // namespace corvane::dns
