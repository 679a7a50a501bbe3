#include "dns/cache_entry.hpp"

#include "core/ascii.hpp"

#include <cstring>
#include <limits>
#include <new>

namespace corvane::dns {

namespace {

// What precedes the bytes of an answer's name and data in an entry: TTL,
// type, name length, data length.
constexpr std::size_t k_flat_answer_size = 4 + 2 + 4 + 4;
static_assert(sizeof(DnsAnswer::ttl) == 4 && sizeof(DnsAnswer::type) == 2);

// Lengths are kept in 32 bits; anything longer cannot be stored and is
// treated like an allocation that failed.
std::uint32_t length32(std::size_t size) {
  if (size > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  return static_cast<std::uint32_t>(size);
}

// The entry's body is unaligned bytes: every field goes through memcpy.
template <typename T> char *put(char *out, const T &value) noexcept {
  std::memcpy(out, &value, sizeof value);
  return out + sizeof value;
}
template <typename T> const char *get(const char *in, T &value) noexcept {
  std::memcpy(&value, in, sizeof value);
  return in + sizeof value;
}
char *put_bytes(char *out, std::string_view bytes) noexcept {
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
  return out + bytes.size();
}

char *body(CacheEntry *entry) noexcept { return reinterpret_cast<char *>(entry) + sizeof *entry; }
const char *body(const CacheEntry &entry) noexcept {
  return reinterpret_cast<const char *>(&entry) + sizeof entry;
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

void write_cache_key(std::string_view query_name, char *out) noexcept {
  for (const char c : query_name)
    *out++ = ascii_lower(c);
  std::memcpy(out, k_cache_key_suffix.data(), k_cache_key_suffix.size());
}

void CacheEntryRelease::operator()(CacheEntry *entry) const noexcept {
  allocator->deallocate(entry, entry->bytes, alignof(CacheEntry));
}

CacheEntryPtr make_cache_entry(std::pmr::memory_resource *allocator, std::string_view query_name,
                               std::span<const DnsAnswer> answers) {
  const std::uint32_t key_size = length32(cache_key_size(query_name));
  const std::uint32_t answer_count = length32(answers.size());
  std::size_t bytes = sizeof(CacheEntry) + key_size;
  for (const auto &answer : answers) {
    length32(answer.name.size());
    length32(answer.data.size());
    bytes += k_flat_answer_size + answer.name.size() + answer.data.size();
    length32(bytes);
  }
  CacheEntryPtr entry(::new (allocator->allocate(bytes, alignof(CacheEntry))) CacheEntry{},
                      CacheEntryRelease{allocator});
  entry->bytes = static_cast<std::uint32_t>(bytes);
  entry->key_size = key_size;
  entry->answer_count = answer_count;
  char *out = body(entry.get());
  write_cache_key(query_name, out);
  out += key_size;
  for (const auto &answer : answers) {
    out = put(out, answer.ttl);
    out = put(out, answer.type);
    out = put(out, static_cast<std::uint32_t>(answer.name.size()));
    out = put(out, static_cast<std::uint32_t>(answer.data.size()));
    out = put_bytes(out, answer.name);
    out = put_bytes(out, answer.data);
  }
  return entry;
}

AnswerList cache_entry_answers(const CacheEntry &entry, std::pmr::memory_resource *allocator) {
  AnswerList answers(allocator);
  answers.reserve(entry.answer_count);
  const char *in = body(entry) + entry.key_size;
  for (std::uint32_t i = 0; i < entry.answer_count; ++i) {
    DnsAnswer &answer = answers.emplace_back();
    std::uint32_t name_size = 0;
    std::uint32_t data_size = 0;
    in = get(in, answer.ttl);
    in = get(in, answer.type);
    in = get(in, name_size);
    in = get(in, data_size);
    answer.name.assign(in, name_size);
    in += name_size;
    answer.data.assign(in, data_size);
    in += data_size;
  }
  return answers;
}

} // namespace corvane::dns
