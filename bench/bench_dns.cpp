#include "dns/resolver.hpp"
#include "dns/response.hpp"
#include "log/log.hpp"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
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

// Baseline: the deep copy a cache hit hands out.
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
    auto answers = (*resolver)->lookup_txt("_dmarc.Example.org");
    benchmark::DoNotOptimize(answers);
  }
}
BENCHMARK(BM_LookupTxtCacheHit);

} // namespace

BENCHMARK_MAIN();
