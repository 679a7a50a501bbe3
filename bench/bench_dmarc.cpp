// The DMARC engine's hot paths: record parsing, one evaluation against an
// in-memory lookup (no DNS time), and a Public Suffix List lookup.
#include "dmarc/evaluation.hpp"
#include "dmarc/public_suffix_list.hpp"
#include "dmarc/record.hpp"

#include <benchmark/benchmark.h>

#include <map>
#include <string>

namespace {

using namespace corvane;

// Answers from a map; every other name is NXDOMAIN.
class MemoryLookup final : public dns::TxtLookup {
public:
  void publish(const std::string &name, const std::string &text) {
    dns::AnswerList answers;
    auto &answer = answers.emplace_back();
    answer.name = name;
    answer.data = text;
    answer.type = dns::k_type_txt;
    records_.emplace(name, std::move(answers));
  }
  Result<dns::AnswerList> lookup_txt(std::string_view name, std::int64_t) override {
    const auto found = records_.find(name);
    if (found == records_.end()) return Error::DnsNameError;
    return found->second;
  }

private:
  std::map<std::string, dns::AnswerList, std::less<>> records_;
};

void BM_ParseDmarcRecord(benchmark::State &state) {
  const std::string text =
      "v=DMARC1; p=reject; sp=quarantine; rua=mailto:dmarc-reports@example.com; adkim=s; "
      "aspf=r; pct=100; fo=1";
  for (auto _ : state) {
    auto record = dmarc::parse_dmarc_record(text, std::pmr::get_default_resource());
    benchmark::DoNotOptimize(record);
  }
}
BENCHMARK(BM_ParseDmarcRecord);

void BM_Evaluate(benchmark::State &state) {
  MemoryLookup lookup;
  lookup.publish("_dmarc.example.com",
                 "v=DMARC1; p=reject; rua=mailto:dmarc-reports@example.com; pct=100");
  dmarc::IdentifierResult dkim;
  dkim.domain = "sig.example.com";
  dkim.result = "pass";
  dmarc::EvaluationRequest request;
  request.author_domain = "mail.news.example.com";
  request.spf.domain = "bounce.example.com";
  request.spf.result = "pass";
  request.dkim = {&dkim, 1};
  request.message_id = "<20240101.123456@mail.news.example.com>";
  request.apply_pct = true;
  request.resolver = &lookup;
  for (auto _ : state) {
    // The daemon's per-message arena.
    std::byte buffer[16384];
    std::pmr::monotonic_buffer_resource arena(buffer, sizeof buffer);
    request.allocator = &arena;
    auto result = dmarc::evaluate(request);
    benchmark::DoNotOptimize(result.result);
  }
}
BENCHMARK(BM_Evaluate);

void BM_IsPublicSuffix(benchmark::State &state) {
  dmarc::PublicSuffixList list;
  for (int i = 0; i < 10000; ++i) {
    const auto rule = "label" + std::to_string(i) + (i % 3 == 0 ? ".co" : ".example");
    if (i % 50 == 0)
      dmarc::add_rule(list.wildcards, rule);
    else if (i % 97 == 0)
      dmarc::add_rule(list.exceptions, rule);
    else
      dmarc::add_rule(list.rules, rule);
  }
  const std::string names[] = {"LABEL4242.example", "www.label1500.co", "example.com",
                               "a.b.label7777.example."};
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(dmarc::is_public_suffix(list, names[i++ & 3]));
  }
}
BENCHMARK(BM_IsPublicSuffix);

} // namespace

BENCHMARK_MAIN();
