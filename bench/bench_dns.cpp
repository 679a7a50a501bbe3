#include "core/string_hash.hpp"
#include "dns/cache.hpp"
#include "dns/resolver.hpp"
#include "dns/response.hpp"
#include "log/log.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

using namespace corvane;
using namespace corvane::dns;

namespace {

void put16(std::vector<std::byte> &out, unsigned v) {
  out.push_back(static_cast<std::byte>(v >> 8));
  out.push_back(static_cast<std::byte>(v & 0xFF));
}

void put_text(std::vector<std::byte> &out, std::string_view text) {
  for (char c : text)
    out.push_back(static_cast<std::byte>(c));
}

// A reply to _dmarc.example.org TXT with two TXT answers, owners compressed.
std::vector<std::byte> typical_reply() {
  std::vector<std::byte> p;
  for (unsigned v : {0x1234u, 0x8180u, 1u, 2u, 0u, 0u})
    put16(p, v);
  for (std::string_view label : {"_dmarc", "example", "org"}) {
    p.push_back(static_cast<std::byte>(label.size()));
    put_text(p, label);
  }
  p.push_back(std::byte{0});
  put16(p, 16);
  put16(p, 1);
  const std::string_view records[] = {
      "v=DMARC1; p=reject; rua=mailto:dmarc@example.org; adkim=s; aspf=s",
      "google-site-verification=abcdefghijklmnopqrstuvwxyz0123456789ABCDEFG"};
  for (auto record : records) {
    put16(p, 0xC00C);
    put16(p, 16);
    put16(p, 1);
    put16(p, 0);
    put16(p, 3600);
    put16(p, static_cast<unsigned>(record.size() + 1));
    p.push_back(static_cast<std::byte>(record.size()));
    put_text(p, record);
  }
  return p;
}

// Baseline: copying the reply's bytes, the least any decoder does.
void BM_CopyReplyBaseline(benchmark::State &state) {
  const auto packet = typical_reply();
  std::vector<std::byte> copy(packet.size());
  for (auto _ : state) {
    std::memcpy(copy.data(), packet.data(), packet.size());
    benchmark::DoNotOptimize(copy.data());
  }
}
BENCHMARK(BM_CopyReplyBaseline);

void BM_ParseResponse(benchmark::State &state) {
  const auto packet = typical_reply();
  for (auto _ : state) {
    auto parsed = parse_response(std::pmr::new_delete_resource(), packet);
    benchmark::DoNotOptimize(parsed);
  }
}
BENCHMARK(BM_ParseResponse);

AnswerList cached_answers() {
  auto parsed = parse_response(std::pmr::new_delete_resource(), typical_reply());
  return std::move(parsed->answers);
}

// Baseline: the deep copy of the answers that a cache holding them as a list
// would hand out on a hit.
AnswerList copy_answers(const AnswerList &answers, std::pmr::memory_resource *allocator) {
  AnswerList copy(allocator);
  copy.reserve(answers.size());
  for (const auto &answer : answers)
    copy.emplace_back(answer);
  return copy;
}

void BM_CopyAnswersBaseline(benchmark::State &state) {
  const AnswerList answers = cached_answers();
  for (auto _ : state) {
    auto copy = copy_answers(answers, std::pmr::new_delete_resource());
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_CopyAnswersBaseline);

// A cache hit: key on the stack, one hash probe, the expiry check against the
// wall clock (vDSO, no system call), the copy; the debug line is below the level.
void BM_LookupTxtCacheHit(benchmark::State &state) {
  log::install_log_settings(log::check_tool_log_settings());
  ResolverSettings settings;
  settings.nameservers = {"127.0.0.1"};
  auto resolver = make_resolver(settings);
  for (int i = 0; i < 900; ++i)
    (*resolver)->cache().cache_put_answers("_dmarc.filler" + std::to_string(i) + ".example",
                                           cached_answers());
  (*resolver)->cache().cache_put_answers("_dmarc.example.org", cached_answers());
  for (auto _ : state) {
    auto answers = (*resolver)->lookup_txt("_dmarc.Example.org", k_no_deadline);
    benchmark::DoNotOptimize(answers);
  }
}
BENCHMARK(BM_LookupTxtCacheHit);

// Cache inserts at the sizes an operator may configure. The clock is the
// benchmark's own: it moves one second every 64 inserts, so that with the
// mixed lifetimes below entries expire all over the insertion order.
std::int64_t g_bench_now = 1'000'000;
std::int64_t bench_clock() noexcept { return g_bench_now; }

// Short names and data, so that a million entries fit comfortably in memory;
// the key is built the same way whatever its length.
AnswerList small_answers(std::uint32_t ttl) {
  AnswerList list(std::pmr::new_delete_resource());
  DnsAnswer answer;
  answer.name = "a.b";
  answer.data = "v=DMARC1";
  answer.ttl = ttl;
  answer.type = 16;
  list.push_back(answer);
  return list;
}

std::string cache_name(std::size_t n) {
  char name[24];
  std::snprintf(name, sizeof name, "n%zu", n);
  return name;
}

// Lifetimes from 30 seconds to a little over an hour, in an order that does
// not follow the insertion order.
std::uint32_t mixed_ttl(std::size_t n) { return 30 + static_cast<std::uint32_t>(n * 7919 % 3600); }

// Filling an empty cache to its capacity; the figure is per insert.
void BM_CacheFill(benchmark::State &state) {
  const auto capacity = static_cast<std::uint32_t>(state.range(0));
  const AnswerList answers = small_answers(3600);
  std::vector<std::string> names;
  for (std::size_t n = 0; n < capacity; ++n)
    names.push_back(cache_name(n));
  for (auto _ : state) {
    g_bench_now = 1'000'000;
    DnsCache cache(std::pmr::new_delete_resource(), capacity, 60, &bench_clock);
    for (const auto &name : names)
      cache.cache_put_answers(name, answers);
    benchmark::DoNotOptimize(cache.size());
    state.PauseTiming(); // the cache is released outside the measurement
    { DnsCache gone(std::move(cache)); }
    state.ResumeTiming();
  }
  state.counters["per_insert"] =
      benchmark::Counter(static_cast<double>(capacity) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_CacheFill)->Arg(1000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

// Baseline: the least a cache keyed by name does per insert into a full map:
// erase the oldest key, insert a new one, in a hash map of the same size.
void BM_MapChurnBaseline(benchmark::State &state) {
  const auto capacity = static_cast<std::size_t>(state.range(0));
  std::pmr::unordered_map<std::pmr::string, std::int64_t, StringHash, std::equal_to<>> map(
      std::pmr::new_delete_resource());
  std::vector<std::string> names;
  for (std::size_t i = 0; i < capacity + static_cast<std::size_t>(state.max_iterations); ++i)
    names.push_back(cache_name(i) + ":16");
  for (std::size_t n = 0; n < capacity; ++n)
    map.emplace(names[n], 0);
  std::size_t i = 0;
  for (auto _ : state) {
    map.erase(map.find(std::string_view(names[i])));
    map.emplace(names[capacity + i], 0);
    ++i;
  }
  benchmark::DoNotOptimize(map.size());
}
BENCHMARK(BM_MapChurnBaseline)
    ->Arg(1000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Iterations(200'000)
    ->Unit(benchmark::kNanosecond);

// Inserting into a full cache: every insert first makes room. With
// `expiring` 0 nothing ever expires and the oldest entry leaves; with 1 the
// clock moves and the oldest expired entry leaves. Names are made before the
// measurement.
void BM_CacheChurn(benchmark::State &state) {
  const auto capacity = static_cast<std::uint32_t>(state.range(0));
  const bool expiring = state.range(1) != 0;
  std::vector<AnswerList> lists;
  for (std::uint32_t ttl = 0; ttl < 3700; ++ttl)
    lists.push_back(small_answers(expiring ? ttl : 86400));
  g_bench_now = 1'000'000;
  DnsCache cache(std::pmr::new_delete_resource(), capacity, 60, &bench_clock);
  for (std::size_t n = 0; n < capacity; ++n)
    cache.cache_put_answers(cache_name(n), lists[expiring ? mixed_ttl(n) : 0]);
  std::vector<std::string> names;
  for (std::size_t i = 0; i < static_cast<std::size_t>(state.max_iterations); ++i)
    names.push_back(cache_name(capacity + i));
  std::size_t i = 0;
  for (auto _ : state) {
    const std::size_t n = capacity + i;
    if (expiring && n % 64 == 0) ++g_bench_now;
    cache.cache_put_answers(names[i++], lists[expiring ? mixed_ttl(n) : 0]);
  }
  benchmark::DoNotOptimize(cache.size());
}
BENCHMARK(BM_CacheChurn)
    ->ArgsProduct({{1000, 100'000, 1'000'000}, {0, 1}})
    ->Iterations(200'000)
    ->Unit(benchmark::kNanosecond);
// The largest cache over more than two million inserts: its row of slots is
// packed in place about once per million, every live entry renumbered, which
// the short runs above never reach; this figure includes that work.
BENCHMARK(BM_CacheChurn)
    ->ArgsProduct({{1'000'000}, {0, 1}})
    ->Iterations(2'200'000)
    ->Unit(benchmark::kNanosecond);

} // namespace

BENCHMARK_MAIN();
