#include "core/string_hash.hpp"
#include "dns/cache_index.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <string>

namespace corvane::dns {
namespace {

std::pmr::memory_resource *heap() { return std::pmr::new_delete_resource(); }

constexpr std::uint64_t k_low_ones = 0xFFFF'FFFFu;

// Random inserts, replacements and removals of a small set of keys whose
// hashes are chosen to collide, checked after every step against a map: every
// stored key is found in a bucket holding its own entry, and no removed key
// is found. Probe runs then cross removals, wrap around the end of the row and
// are rehashed as the index grows.
TEST(CacheIndex, ProbeRunsSurviveCollisionsWrapAroundAndRemovals) {
  struct Case {
    const char *what;
    std::function<std::uint64_t(std::size_t key)> hash;
  };
  const Case cases[] = {
      {"one hash for every key", [](std::size_t) { return std::uint64_t{42}; }},
      // The low bits pick the home, so whatever the number of buckets every
      // key starts at the last one and its run wraps to the first.
      {"every home at the last bucket",
       [](std::size_t key) { return std::uint64_t{key} << 32 | k_low_ones; }},
      {"homes at the last three buckets",
       [](std::size_t key) { return std::uint64_t{key} << 32 | (k_low_ones - key % 3); }},
      {"homes a few buckets apart, runs merging",
       [](std::size_t key) { return std::uint64_t{key} << 32 | (key % 4) * 3; }},
      {"hashes of the keys",
       [](std::size_t key) { return StringHash{}("k" + std::to_string(key)); }},
  };
  constexpr std::size_t k_keys = 40;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::mt19937 random(7);
    CacheIndex index(heap());
    std::map<std::size_t, CacheEntryPtr> stored;
    for (int step = 0; step < 4000; ++step) {
      const std::size_t key = random() % k_keys;
      const std::uint64_t hash = c.hash(key);
      auto found = stored.find(key);
      if (found == stored.end()) {
        auto entry = make_cache_entry(heap(), "k" + std::to_string(key), {});
        index.reserve(stored.size() + 1, k_keys);
        index.insert(hash, entry.get());
        stored.emplace(key, std::move(entry));
      } else if (random() % 3 == 0) {
        auto entry = make_cache_entry(heap(), "K" + std::to_string(key), {});
        const std::size_t bucket = index.find(hash, entry->key());
        ASSERT_NE(bucket, CacheIndex::npos) << "step " << step;
        index.replace(bucket, entry.get());
        found->second = std::move(entry);
      } else {
        index.erase(hash, found->second.get());
        stored.erase(found);
      }
      ASSERT_EQ(index.size(), stored.size()) << "step " << step;
      ASSERT_LE(2 * index.size(), index.buckets()) << "step " << step;
      for (std::size_t other = 0; other < k_keys; ++other) {
        const std::string key_text = "k" + std::to_string(other) + ":16";
        const std::size_t bucket = index.find(c.hash(other), key_text);
        auto expected = stored.find(other);
        if (expected == stored.end()) {
          ASSERT_EQ(bucket, CacheIndex::npos) << "step " << step << " key " << other;
        } else {
          ASSERT_NE(bucket, CacheIndex::npos) << "step " << step << " key " << other;
          ASSERT_EQ(index.at(bucket), expected->second.get()) << "step " << step;
        }
      }
    }
  }
}

} // namespace
} // namespace corvane::dns
