#pragma once

#include "dns/answer.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>
#include <string_view>

namespace corvane::dns {

// Why a lookup failed, as remembered by the cache; the words are those of
// the cache's log line.
enum class NegativeKind : std::uint8_t { name_error = 0, server_failure = 1, timeout = 2 };

std::string_view negative_kind_name(NegativeKind kind) noexcept;

// The key of a query name is the name, then ":" and the query type (TXT),
// folded to lower case. `out` holds cache_key_size(query_name) bytes.
inline constexpr std::string_view k_cache_key_suffix = ":16";
constexpr std::size_t cache_key_size(std::string_view query_name) noexcept {
  return query_name.size() + k_cache_key_suffix.size();
}
void write_cache_key(std::string_view query_name, char *out) noexcept;

// One stored lookup outcome in a single allocation: this header, then the
// key's bytes, then every answer laid flat (TTL, type, the lengths of name and
// data, their bytes). At a million entries every allocation and every pointer
// followed costs a cache miss, so an entry is one block rather than a key
// string, a vector and two strings per answer.
struct CacheEntry {
  std::int64_t expires = 0; // fresh while now < expires
  std::uint32_t slot = 0;   // the entry's place in the insertion order
  std::uint32_t bytes = 0;  // the size of the block
  std::uint32_t key_size = 0;
  std::uint32_t answer_count = 0; // none for a negative entry
  NegativeKind kind = NegativeKind::name_error;
  bool negative = false;

  std::string_view key() const noexcept {
    return {reinterpret_cast<const char *>(this) + sizeof(CacheEntry), key_size};
  }
};

struct CacheEntryRelease {
  std::pmr::memory_resource *allocator;
  void operator()(CacheEntry *entry) const noexcept;
};
using CacheEntryPtr = std::unique_ptr<CacheEntry, CacheEntryRelease>;

// An entry for the query name's key with a flat copy of `answers` (none for a
// negative entry); the caller fills in the rest. Throws std::bad_alloc, also
// for a name or an answer too long to be described by the entry's lengths.
CacheEntryPtr make_cache_entry(std::pmr::memory_resource *allocator, std::string_view query_name,
                               std::span<const DnsAnswer> answers);

// The entry's answers as a list owned by the caller. Throws std::bad_alloc.
AnswerList cache_entry_answers(const CacheEntry &entry, std::pmr::memory_resource *allocator);

} // namespace corvane::dns
