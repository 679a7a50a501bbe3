#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::bench {

// Where the filter listens: a Unix-domain socket path, or an IPv4/IPv6 address
// text and a port.
struct LoadEndpoint {
  std::string unix_path; // non-empty: a Unix-domain socket
  std::string host;
  std::uint16_t port = 0;
};

// "127.0.0.1:8891", "[::1]:8891" or "::1:8891" (the last colon starts the port).
std::optional<LoadEndpoint> tcp_endpoint(std::string_view text);
// "unix:PATH" or "tcp:HOST:PORT", as the report line writes it.
std::string describe(const LoadEndpoint &endpoint);

struct LoadOptions {
  LoadEndpoint endpoint;
  unsigned connections = 8;
  // The run ends after `messages` messages in all (when non-zero), else after
  // `seconds`; messages in flight then finish, none is started.
  std::uint64_t messages = 0;
  std::chrono::milliseconds duration{10000};
  std::string from_domain = "example.org";
  // Non-zero: message k comes from "d<k mod from_domains>.<from_domain>", so
  // the filter sees that many distinct domains.
  unsigned from_domains = 0;
  // The authserv-id of the upstream Authentication-Results header each
  // message carries (spf and dkim pass for its From domain).
  std::string authserv_id = "mx.example.net";
  // Write a whole message at once and then read its 15 answers, instead of
  // waiting for each answer before the next command as MTAs do.
  bool pipeline = false;
  std::chrono::milliseconds reply_timeout{10000};
};

struct LatencySummary {
  double p50_us = 0;
  double p99_us = 0;
  double max_us = 0;
};

struct LoadReport {
  std::uint64_t messages = 0; // completed: 'E' answered
  double seconds = 0;         // from the first message's start to the last answer
  double messages_per_second = 0;
  // CPU time (user and system) of the generator's own thread over the same
  // span: how close the generator itself came to being the limit.
  double cpu_seconds = 0;
  LatencySummary message; // first command of a message to the answer to 'E'
  // The answer before 'E' to the answer to 'E'. With pipeline it only shows how
  // far apart those two answers arrived.
  LatencySummary end_of_message;
  // Final answers to 'E' by code.
  std::uint64_t eom_continue = 0, eom_tempfail = 0, eom_reject = 0, eom_accept = 0, eom_other = 0;
  std::uint64_t stage_refusals = 0; // answers other than 'c' before 'E' (the run goes on)
  std::uint64_t modifications = 0;  // packets before a final answer ('i', 'm', 'y', ...)
  std::uint64_t failures = 0;       // connections lost: refused, closed, timed out, bad packets
  std::string first_failure;
};

// Opens the connections (negotiation, connect and HELO on each, one after the
// other), then drives messages on all of them from one epoll loop on the
// calling thread until the run ends, and sends 'Q' on each.
LoadReport run_load(const LoadOptions &options);

// One line of key=value pairs: the options that shape the run, then the
// report.
std::string report_line(const LoadOptions &options, const LoadReport &report);

} // namespace corvane::bench
