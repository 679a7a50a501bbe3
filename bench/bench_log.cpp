#include "log/log.hpp"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

using namespace corvane::log;

namespace {

// A line below the level costs one comparison.
void BM_LogBelowLevel(benchmark::State &state) {
  LogSettings settings = initial_log_settings();
  settings.level = 3;
  install_log_settings(settings);
  for (auto _ : state)
    log_message(Severity::debug, "worker: config reload acknowledged");
}
BENCHMARK(BM_LogBelowLevel);

// Formatting and one write to /dev/null standing in for standard error.
void BM_LogFormattedLine(benchmark::State &state) {
  install_log_settings(initial_log_settings());
  const int saved = ::dup(STDERR_FILENO);
  const int null_fd = ::open("/dev/null", O_WRONLY);
  ::dup2(null_fd, STDERR_FILENO);
  for (auto _ : state)
    log_message(Severity::info, "dmarc: domain=", SafeField{"example.org"},
                " result=fail n=", 12345, " ", ErrorName{corvane::Error::DnsTimeout});
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(null_fd);
}
BENCHMARK(BM_LogFormattedLine);

} // namespace

BENCHMARK_MAIN();
