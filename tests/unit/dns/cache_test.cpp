#include "dns/cache.hpp"
#include "log/log.hpp"
#include "support/stderr_capture.hpp"
#include "unit/dns/limited_resource.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <unistd.h>
#include <variant>
#include <vector>

namespace corvane::dns {
namespace {

std::int64_t g_now = 1'000'000;
std::int64_t test_clock() noexcept { return g_now; }

std::pmr::memory_resource *heap() { return std::pmr::new_delete_resource(); }

DnsAnswer answer(std::uint16_t type, std::uint32_t ttl, std::string_view data) {
  DnsAnswer a;
  a.name = "_dmarc.example.org";
  a.type = type;
  a.ttl = ttl;
  a.data = data;
  return a;
}

AnswerList answers(std::initializer_list<DnsAnswer> list) {
  AnswerList out(heap());
  for (const auto &a : list)
    out.push_back(a);
  return out;
}

AnswerList txt(std::uint32_t ttl, std::string_view data = "v=DMARC1; p=none") {
  return answers({answer(16, ttl, data)});
}

class CacheTest : public ::testing::Test {
protected:
  void SetUp() override { g_now = 1'000'000; }
  DnsCache make(std::uint32_t capacity = 1000, std::uint32_t negative_ttl = 60) {
    return DnsCache(heap(), capacity, negative_ttl, &test_clock);
  }
  static bool hit(DnsCache &cache, std::string_view name) {
    auto got = cache.cache_get(name);
    return got && std::holds_alternative<AnswerList>(*got);
  }
  static bool miss(DnsCache &cache, std::string_view name) {
    auto got = cache.cache_get(name);
    return got && std::holds_alternative<CacheMiss>(*got);
  }
};

TEST_F(CacheTest, KeyFoldsCaseAndNamesTheType) {
  EXPECT_EQ(cache_key("_dmarc.Example.COM", heap()), "_dmarc.example.com:16");
  EXPECT_EQ(cache_key("", heap()), ":16");
}

// How long a positive entry stays fresh, from the TTLs of its answers.
TEST_F(CacheTest, PositiveLifetimeIsTheSmallestTtlClamped) {
  struct Case {
    const char *what;
    AnswerList list;
    std::int64_t lifetime;
  };
  const Case cases[] = {
      {"ttl 5 is raised to 30", txt(5), 30},
      {"ttl 0 is raised to 30", txt(0), 30},
      {"ttl 100 is kept", txt(100), 100},
      {"a week is lowered to a day", txt(7 * 86400), 86400},
      {"smallest of every type", answers({answer(16, 3600, "v"), answer(5, 40, "x.org")}), 40},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    g_now = 1'000'000;
    DnsCache cache = make();
    cache.cache_put_answers("_dmarc.example.org", c.list);
    g_now += c.lifetime - 1;
    EXPECT_TRUE(hit(cache, "_dmarc.example.org"));
    g_now += 1; // expires equal to now: stale
    EXPECT_TRUE(miss(cache, "_dmarc.example.org"));
  }
}

TEST_F(CacheTest, NegativeLifetimeAndDefaults) {
  DnsCache defaults = make(0, 0);
  EXPECT_EQ(defaults.capacity(), 1000u);
  EXPECT_EQ(defaults.negative_ttl(), 60u);
  defaults.cache_put_negative("gone.example", NegativeKind::name_error);
  g_now += 59;
  auto got = defaults.cache_get("gone.example");
  ASSERT_TRUE(got);
  ASSERT_TRUE(std::holds_alternative<NegativeKind>(*got));
  EXPECT_EQ(std::get<NegativeKind>(*got), NegativeKind::name_error);
  g_now += 1;
  EXPECT_TRUE(miss(defaults, "gone.example"));

  DnsCache short_lived = make(10, 5);
  short_lived.cache_put_negative("slow.example", NegativeKind::timeout);
  g_now += 4;
  got = short_lived.cache_get("slow.example");
  ASSERT_TRUE(got);
  EXPECT_EQ(std::get<NegativeKind>(*got), NegativeKind::timeout);
  g_now += 1;
  EXPECT_TRUE(miss(short_lived, "slow.example"));
}

TEST_F(CacheTest, EmptyAnswerListsAreNotStored) {
  DnsCache cache = make();
  cache.cache_put_answers("empty.example", AnswerList(heap()));
  EXPECT_EQ(cache.size(), 0u);
}

TEST_F(CacheTest, ExpiredEntriesLeaveFirst) {
  DnsCache cache = make(3);
  cache.cache_put_answers("a", txt(1000));
  cache.cache_put_answers("b", txt(30));
  cache.cache_put_answers("c", txt(1000));
  g_now += 31; // b has expired, a and c have not
  cache.cache_put_answers("d", txt(1000));
  EXPECT_EQ(cache.size(), 3u);
  EXPECT_TRUE(hit(cache, "a"));
  EXPECT_TRUE(miss(cache, "b"));
  EXPECT_TRUE(hit(cache, "c"));
  EXPECT_TRUE(hit(cache, "d"));
}

TEST_F(CacheTest, AmongFreshEntriesTheFirstInsertedLeavesEvenWhenJustRead) {
  DnsCache cache = make(2);
  cache.cache_put_answers("first", txt(1000));
  cache.cache_put_answers("second", txt(1000));
  EXPECT_TRUE(hit(cache, "first")); // reads do not refresh
  cache.cache_put_negative("third", NegativeKind::server_failure);
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_TRUE(miss(cache, "first"));
  EXPECT_TRUE(hit(cache, "second"));
}

TEST_F(CacheTest, ReplacingKeepsTheFirstPosition) {
  DnsCache cache = make(3);
  cache.cache_put_answers("_dmarc.Example.org", txt(1000, "old"));
  cache.cache_put_answers("b", txt(1000));
  cache.cache_put_answers("_DMARC.example.ORG", txt(1000, "new"));
  EXPECT_EQ(cache.size(), 2u);
  auto got = cache.cache_get("_dmarc.example.org");
  ASSERT_TRUE(got);
  EXPECT_EQ(std::get<AnswerList>(*got).at(0).data, "new");

  cache.cache_put_answers("c", txt(1000));
  cache.cache_put_answers("d", txt(1000)); // full: the replaced entry is still the oldest
  EXPECT_TRUE(miss(cache, "_dmarc.example.org"));
  EXPECT_TRUE(hit(cache, "b"));
  EXPECT_TRUE(hit(cache, "d"));
}

TEST_F(CacheTest, ReplacingInAFullCacheMayEvictTheSameKey) {
  DnsCache cache = make(1);
  cache.cache_put_answers("only", txt(1000, "one"));
  cache.cache_put_negative("only", NegativeKind::name_error);
  EXPECT_EQ(cache.size(), 1u);
  auto got = cache.cache_get("only");
  ASSERT_TRUE(got);
  EXPECT_EQ(std::get<NegativeKind>(*got), NegativeKind::name_error);
}

// The eviction rules written the slow way, as a list walked from the oldest
// key: the cache must keep exactly the entries this keeps, whatever its
// inner bookkeeping.
class ReferenceCache {
public:
  explicit ReferenceCache(std::size_t capacity) : capacity_(capacity) {}

  void put(const std::string &key, std::int64_t expires, std::int64_t now) {
    make_room(now);
    for (auto &entry : order_)
      if (entry.key == key) {
        entry.expires = expires;
        return;
      }
    order_.push_back({key, expires});
  }
  bool contains(const std::string &key) const {
    return std::any_of(order_.begin(), order_.end(), [&](const auto &e) { return e.key == key; });
  }
  std::size_t size() const { return order_.size(); }

private:
  void make_room(std::int64_t now) {
    if (order_.size() < capacity_) return;
    for (std::size_t i = 0; i < order_.size();) {
      if (order_[i].expires > now) {
        ++i;
        continue;
      }
      order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(i));
      if (order_.size() < capacity_) return;
    }
    order_.erase(order_.begin());
  }

  struct Entry {
    std::string key;
    std::int64_t expires;
  };
  std::size_t capacity_;
  std::vector<Entry> order_;
};

// Random stores and replacements under a moving clock, small caches and a
// larger one whose insertion order is packed and grown many times.
TEST_F(CacheTest, EvictionOrderMatchesTheRulesOverLongRuns) {
  for (const std::uint32_t capacity : {1u, 2u, 7u, 50u, 300u}) {
    SCOPED_TRACE(capacity);
    g_now = 1'000'000;
    std::mt19937 random(capacity);
    DnsCache cache = make(capacity, 45);
    ReferenceCache reference(capacity);
    const std::size_t names = 3 * capacity + 2;
    const std::uint32_t ttls[] = {5, 30, 31, 45, 100, 1000};
    for (int step = 0; step < 6000; ++step) {
      const std::size_t n = random() % names;
      std::string name = "N" + std::to_string(n) + ".Example";
      const std::string key = cache_key(name, heap()).c_str();
      if (random() % 2 == 0) name = key.substr(0, key.size() - 3); // another spelling
      if (random() % 4 == 0) {
        cache.cache_put_negative(name, NegativeKind::timeout);
        reference.put(key, g_now + 45, g_now);
      } else {
        const std::uint32_t ttl = ttls[random() % std::size(ttls)];
        cache.cache_put_answers(name, txt(ttl));
        reference.put(key, g_now + std::max<std::uint32_t>(ttl, 30), g_now);
      }
      g_now += static_cast<std::int64_t>(random() % 8);
      ASSERT_EQ(cache.size(), reference.size()) << "step " << step;
      if (step % 17 == 0 || capacity < 10) {
        for (std::size_t i = 0; i < names; ++i) {
          const std::string other = "n" + std::to_string(i) + ".example";
          ASSERT_EQ(cache.contains(other), reference.contains(other + ":16"))
              << "step " << step << " " << other;
        }
      }
    }
  }
}

// Answers are stored flat in one block and rebuilt on every hit: each field
// of each answer comes back as stored, in order, whatever its bytes or length.
TEST_F(CacheTest, AnswersComeBackAsStored) {
  struct Case {
    const char *what;
    std::string query_name;
    AnswerList list;
  };
  const std::string long_name = std::string(300, 'A') + ".example"; // longer than any name sent
  const std::string binary("v=DMARC1;\0p=none;\xff\x80", 17);
  DnsAnswer root = answer(16, 7, "");
  root.name = "";
  const Case cases[] = {
      {"one txt", "_dmarc.example.org", txt(100)},
      {"a cname and two txt of other ttls and types", "_dmarc.Example.org",
       answers({answer(5, 400, "alias.example.net"), answer(16, 100, "first"),
                answer(16, 300, "second")})},
      {"empty name and data", "root.example", answers({root})},
      {"bytes outside text", "bin.example", answers({answer(16, 60, binary)})},
      {"long data", "big.example", txt(100, std::string(70'000, 'd'))},
      {"a long query name", long_name, txt(100, "long")},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    DnsCache cache = make();
    cache.cache_put_answers(c.query_name, c.list);
    EXPECT_TRUE(cache.contains(c.query_name));
    auto got = cache.cache_get(c.query_name);
    ASSERT_TRUE(got);
    ASSERT_TRUE(std::holds_alternative<AnswerList>(*got));
    const auto &list = std::get<AnswerList>(*got);
    ASSERT_EQ(list.size(), c.list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
      EXPECT_EQ(list[i].name, c.list[i].name) << i;
      EXPECT_EQ(list[i].data, c.list[i].data) << i;
      EXPECT_EQ(list[i].ttl, c.list[i].ttl) << i;
      EXPECT_EQ(list[i].type, c.list[i].type) << i;
    }
  }
}

TEST_F(CacheTest, HitsHandOutIndependentCopies) {
  DnsCache cache = make();
  cache.cache_put_answers("x", txt(1000, "kept"));
  auto got = cache.cache_get("x");
  ASSERT_TRUE(got);
  std::get<AnswerList>(*got)[0].data = "changed by the caller";
  auto again = cache.cache_get("x");
  ASSERT_TRUE(again);
  EXPECT_EQ(std::get<AnswerList>(*again)[0].data, "kept");
}

TEST_F(CacheTest, OutOfMemoryStoresNothingAndLeaksNothing) {
  bool stored = false;
  for (long allowed = 0; !stored; ++allowed) {
    SCOPED_TRACE(allowed);
    test::LimitedResource limited(allowed);
    {
      DnsCache cache(&limited, 10, 60, &test_clock);
      cache.cache_put_answers("x", txt(1000, std::string(100, 'v')));
      stored = cache.size() == 1;
      // A lookup that cannot copy its answers out fails by name.
      auto got = cache.cache_get("x");
      if (!got) {
        EXPECT_EQ(got.error(), Error::OutOfMemory);
      }
    }
    EXPECT_EQ(limited.outstanding(), 0);
    ASSERT_LT(allowed, 50);
  }
}

// What every name of a script looks like in a cache, read without
// allocating: absent, stale, or the kind of a fresh negative entry.
std::vector<int> negative_view(DnsCache &cache, std::size_t names) {
  std::vector<int> view;
  for (std::size_t n = 0; n < names; ++n) {
    const std::string name = "n" + std::to_string(n) + ".example";
    auto got = cache.cache_get(name);
    if (!got) return {};
    if (const auto *kind = std::get_if<NegativeKind>(&*got))
      view.push_back(static_cast<int>(*kind));
    else
      view.push_back(cache.contains(name) ? -1 : -2);
  }
  return view;
}

// Every store of a script that grows the index and the row of slots and
// then evicts from a full cache is run again with each budget of
// allocations it may fail at: short of what the store needs, the cache is
// exactly as it was before (nothing evicted, nothing replaced); with it, as
// after the store. Negative entries are read back without allocating.
TEST_F(CacheTest, OutOfMemoryInAnyStoreLeavesTheCacheAsItWas) {
  constexpr std::uint32_t k_capacity = 40;
  constexpr std::size_t k_names = 60;
  struct Store {
    std::size_t name;
    NegativeKind kind;
    std::int64_t wait;
  };
  std::mt19937 random(3);
  std::vector<Store> script;
  for (int i = 0; i < 150; ++i)
    script.push_back({random() % k_names, static_cast<NegativeKind>(random() % 3),
                      static_cast<std::int64_t>(random() % 3)});
  // Up to the clock of store `last`, which is left to the caller.
  const auto run = [&](DnsCache &cache, std::size_t last) {
    for (std::size_t i = 0;; ++i) {
      g_now += script[i].wait;
      if (i == last) return;
      cache.cache_put_negative("N" + std::to_string(script[i].name) + ".Example", script[i].kind);
    }
  };
  const auto store = [&](DnsCache &cache, std::size_t i) {
    cache.cache_put_negative("N" + std::to_string(script[i].name) + ".Example", script[i].kind);
  };

  for (std::size_t step = 0; step < script.size(); ++step) {
    SCOPED_TRACE(step);
    g_now = 1'000'000;
    test::LimitedResource counted(1'000'000);
    DnsCache reference(&counted, k_capacity, 20, &test_clock);
    run(reference, step);
    const long before_step = counted.allocations();
    const auto before = negative_view(reference, k_names);
    store(reference, step);
    const long needed = counted.allocations() - before_step;
    ASSERT_GE(needed, 1);
    const auto after = negative_view(reference, k_names);

    for (long extra = 0; extra <= needed; ++extra) {
      SCOPED_TRACE(extra);
      g_now = 1'000'000;
      test::LimitedResource limited(before_step + extra);
      {
        DnsCache cache(&limited, k_capacity, 20, &test_clock);
        run(cache, step);
        store(cache, step);
        EXPECT_EQ(negative_view(cache, k_names), extra < needed ? before : after);
      }
      EXPECT_EQ(limited.outstanding(), 0);
    }
  }
}

TEST_F(CacheTest, DebugLinesNameTheQueryAsAsked) {
  auto settings = log::check_tool_log_settings();
  settings.level = 7;
  settings.set_ident("t");
  log::install_log_settings(settings);
  log::open_log_connection();
  test::StderrCapture capture;
  DnsCache cache = make();
  (void)cache.cache_get("_dmarc.Example.org");
  cache.cache_put_answers("_dmarc.example.org", txt(100));
  (void)cache.cache_get("_dmarc.Example.org");
  cache.cache_put_negative("slow.example", NegativeKind::timeout);
  (void)cache.cache_get("slow.example");
  cache.cache_put_negative("fail.example", NegativeKind::server_failure);
  (void)cache.cache_get("fail.example");
  const std::string pid = std::to_string(::getpid());
  EXPECT_EQ(capture.text(), "t[" + pid + "]: dns: cache miss _dmarc.Example.org\n" + "t[" + pid +
                                "]: dns: cache hit _dmarc.Example.org\n" + "t[" + pid +
                                "]: dns: cache negative hit slow.example kind=timeout\n" + "t[" +
                                pid +
                                "]: dns: cache negative hit fail.example kind=server_failure\n");
  log::install_log_settings(log::check_tool_log_settings());
}

} // namespace
} // namespace corvane::dns
