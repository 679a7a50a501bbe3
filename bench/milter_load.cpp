// milter_load: drives a milter filter as an MTA would, over many connections,
// and prints one line of figures.

#include "core/number.hpp"
#include "load_generator.hpp"

#include <cstdio>
#include <string>
#include <string_view>

namespace {

using corvane::bench::LoadOptions;

constexpr const char *k_usage =
    "usage: milter_load (--unix PATH | --tcp HOST:PORT) [--connections N]\n"
    "                   [--seconds S | --messages M] [--from-domain DOMAIN] [--from-domains N]\n"
    "                   [--authserv-id ID] [--pipeline] [--timeout-ms MS]\n";

// Reads the options into `options`; false (after a message) when they do not
// make a run.
bool read_options(int argc, char **argv, LoadOptions &options) {
  bool have_endpoint = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--pipeline") {
      options.pipeline = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "milter_load: %s needs a value\n", argv[i]);
      return false;
    }
    const std::string_view value = argv[++i];
    bool good = true;
    if (option == "--unix") {
      options.endpoint = {std::string(value), {}, 0};
      have_endpoint = good = !value.empty();
    } else if (option == "--tcp") {
      const auto endpoint = corvane::bench::tcp_endpoint(value);
      if (endpoint) options.endpoint = *endpoint;
      have_endpoint = good = endpoint.has_value();
    } else if (option == "--connections") {
      const auto n = corvane::read_u32(value);
      good = n && *n > 0;
      if (good) options.connections = *n;
    } else if (option == "--seconds") {
      const auto n = corvane::read_u32(value);
      good = n && *n > 0;
      if (good) options.duration = std::chrono::seconds{*n};
    } else if (option == "--messages") {
      const auto n = corvane::read_u64(value);
      good = n && *n > 0;
      if (good) options.messages = *n;
    } else if (option == "--from-domain") {
      options.from_domain = value;
      good = !value.empty();
    } else if (option == "--from-domains") {
      const auto n = corvane::read_u32(value);
      good = n.has_value();
      if (good) options.from_domains = *n;
    } else if (option == "--authserv-id") {
      options.authserv_id = value;
      good = !value.empty();
    } else if (option == "--timeout-ms") {
      const auto n = corvane::read_u32(value);
      good = n && *n > 0;
      if (good) options.reply_timeout = std::chrono::milliseconds{*n};
    } else {
      std::fprintf(stderr, "milter_load: unknown option %s\n", argv[i - 1]);
      return false;
    }
    if (!good) {
      std::fprintf(stderr, "milter_load: bad value for %s: %s\n", argv[i - 1], argv[i]);
      return false;
    }
  }
  if (!have_endpoint) std::fprintf(stderr, "milter_load: --unix or --tcp is required\n");
  return have_endpoint;
}

} // namespace

int main(int argc, char **argv) {
  LoadOptions options;
  if (!read_options(argc, argv, options)) {
    std::fputs(k_usage, stderr);
    return 2;
  }
  const auto report = corvane::bench::run_load(options);
  std::printf("%s\n", corvane::bench::report_line(options, report).c_str());
  if (report.failures > 0)
    std::fprintf(stderr, "milter_load: %llu connection(s) failed; first: %s\n",
                 static_cast<unsigned long long>(report.failures), report.first_failure.c_str());
  return report.failures > 0 ? 1 : 0;
}
