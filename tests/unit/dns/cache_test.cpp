#include "dns/cache.hpp"
#include "log/log.hpp"
#include "support/stderr_capture.hpp"
#include "unit/dns/limited_resource.hpp"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <variant>

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
