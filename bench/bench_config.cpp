// Parsing must stay linear in the size of the file up to the 1 MiB limit:
// each shape is measured at 64 KiB and 1 MiB, so the per-byte figure (and
// the fitted complexity) shows whether the larger file costs more per byte.
#include "config/config_document.hpp"
#include "config/config_file.hpp"
#include "config/load_config.hpp"
#include "log/log.hpp"

#include <benchmark/benchmark.h>

#include <functional>
#include <string>

using namespace corvane;

namespace {

constexpr std::int64_t k_small = 64 * 1024;
constexpr std::int64_t k_large = static_cast<std::int64_t>(config::k_max_config_bytes);

// Repeats the block made for 0, 1, 2, ... until the text has `size` bytes.
std::string make_text(std::size_t size, const std::function<std::string(std::size_t)> &block) {
  std::string text;
  for (std::size_t i = 0; text.size() < size; ++i)
    text += block(i);
  text.resize(size);
  return text;
}

// A file an operator might write, grown to size: listeners, comments and
// global keys written again and again.
std::string mixed_block(std::size_t i) {
  const std::string n = std::to_string(i);
  return "# listener " + n + "\n[listener:mx" + n +
         "]\nSocket = inet:" + std::to_string(1024 + i % 60000) +
         "@127.0.0.1\nEnforcement = reject\n\n[global]\n" + "MaxHeaders = " + n +
         "\nDnsNameserver = 10.0.0.1, 10.0.0.2\n";
}
std::string distinct_key_block(std::size_t i) { return "Key" + std::to_string(i) + " = value\n"; }
std::string distinct_section_block(std::size_t i) { return "[s" + std::to_string(i) + "]\n"; }
std::string same_key_block(std::size_t i) { return "MaxHeaders = " + std::to_string(i) + "\n"; }
std::string long_line_block(std::size_t) { return "AuthservID = " + std::string(4096, 'a') + "\n"; }

void run_parse(benchmark::State &state, std::string (*block)(std::size_t)) {
  const std::string text = make_text(static_cast<std::size_t>(state.range(0)), block);
  for (auto _ : state) {
    auto document = config::parse_config_text(text);
    benchmark::DoNotOptimize(document);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  state.SetComplexityN(state.range(0));
}

void BM_ParseMixed(benchmark::State &state) { run_parse(state, mixed_block); }
void BM_ParseDistinctKeys(benchmark::State &state) { run_parse(state, distinct_key_block); }
void BM_ParseDistinctSections(benchmark::State &state) { run_parse(state, distinct_section_block); }
void BM_ParseSameKey(benchmark::State &state) { run_parse(state, same_key_block); }
void BM_ParseLongLines(benchmark::State &state) { run_parse(state, long_line_block); }

// Parsing, the key check and building the Config, as at start-up.
void BM_CheckAndBuildMixed(benchmark::State &state) {
  log::install_log_settings(log::initial_log_settings());
  const std::string text = make_text(static_cast<std::size_t>(state.range(0)), mixed_block);
  // Cut at a line end so that no listener section loses its Socket.
  const std::string whole = text.substr(0, text.rfind("\n[global]") + 1);
  for (auto _ : state) {
    auto config = config::config_from_document(*config::parse_config_text(whole));
    if (!config) state.SkipWithError("the generated file was refused");
    benchmark::DoNotOptimize(config);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(whole.size()));
  state.SetComplexityN(static_cast<std::int64_t>(whole.size()));
}

BENCHMARK(BM_ParseMixed)->Arg(k_small)->Arg(k_large)->Complexity(benchmark::oN);
BENCHMARK(BM_ParseDistinctKeys)->Arg(k_small)->Arg(k_large)->Complexity(benchmark::oN);
BENCHMARK(BM_ParseDistinctSections)
    ->RangeMultiplier(2)
    ->Range(k_small, k_large)
    ->Complexity(benchmark::oN);
BENCHMARK(BM_ParseSameKey)->Arg(k_small)->Arg(k_large)->Complexity(benchmark::oN);
BENCHMARK(BM_ParseLongLines)->Arg(k_small)->Arg(k_large)->Complexity(benchmark::oN);
BENCHMARK(BM_CheckAndBuildMixed)->Arg(k_small)->Arg(k_large)->Complexity(benchmark::oN);

} // namespace

BENCHMARK_MAIN();
