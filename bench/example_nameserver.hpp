#pragma once

#include "support/dns_server.hpp"

#include <string>

namespace corvane::bench {

// Where the daemon benchmarks' nameserver listens: the daemon always asks
// port 53, so it gets a loopback address of its own; `subnet` keeps two
// benchmarks running at once apart.
inline test::DnsServerOptions example_nameserver_options(int subnet) {
  test::DnsServerOptions options;
  options.address = "127.53." + std::to_string(subnet) + "." + std::to_string(::getpid() % 250 + 1);
  options.port = 53;
  return options;
}

// example.org publishes p=reject; every other name does not exist.
inline void answer_as_example_nameserver(test::DnsServer &server) {
  server.answer("_dmarc.example.org", test::txt_answer({"v=DMARC1; p=reject"}, 3600));
  server.answer_others(test::rcode_answer(3));
}

} // namespace corvane::bench
