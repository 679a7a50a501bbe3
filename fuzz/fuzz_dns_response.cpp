#include "core/ascii.hpp"
#include "core/clock.hpp"
#include "dns/name.hpp"
#include "dns/query.hpp"
#include "dns/reply_match.hpp"
#include "dns/resolver.hpp"
#include "dns/response.hpp"
#include "dns/udp_exchange.hpp"
#include "fuzz_check.hpp"
#include "log/log.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

namespace {

using corvane::fuzz::check;

using namespace corvane;
using namespace corvane::dns;

// The decoder alone: answers or an error, within the packet, bounded names.
void decode(std::span<const std::byte> packet) {
  auto parsed = parse_response(std::pmr::new_delete_resource(), packet);
  if (parsed)
    for (const auto &answer : parsed->answers)
      check(answer.name.size() <= k_max_name_bytes);
  // Names at every offset of a short packet, the way pointers reach them.
  for (std::size_t at = 0; at < packet.size() && at < 64; ++at) {
    NameText name;
    if (read_name(packet, at, name)) check(name.size() <= k_max_name_bytes);
    auto end = skip_name(packet, at);
    if (end) check(*end <= packet.size());
  }
}

bool same(const AnswerList &a, const AnswerList &b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto &x, const auto &y) {
    return x.name == y.name && x.data == y.data && x.ttl == y.ttl && x.type == y.type;
  });
}

// Every answer handed over belongs to the question: its owner is the query
// name or the target of a CNAME handed over with it.
bool answers_the_question(std::string_view query_name, const AnswerList &answers) {
  return std::all_of(answers.begin(), answers.end(), [&](const DnsAnswer &answer) {
    if (ascii_iequal(answer.name, without_outer_dots(query_name))) return true;
    return std::any_of(answers.begin(), answers.end(), [&](const DnsAnswer &cname) {
      return cname.type == 5 && ascii_iequal(cname.data, answer.name);
    });
  });
}

// The road of a datagram through lookup_txt for one query name: matched
// against the query (whose ID is the datagram's, as the only one that can
// match), cut to the receive buffer like a datagram that did not fit, then
// decoded, truncation handled (there is no server to ask over TCP), the
// answers to the question kept, the outcome cached. The cache must then give
// back what the lookup gave.
void take(std::string_view query_name, std::span<const std::byte> datagram) {
  if (datagram.size() < 2) return;
  const auto id = static_cast<std::uint16_t>(std::to_integer<unsigned>(datagram[0]) << 8 |
                                             std::to_integer<unsigned>(datagram[1]));
  auto query = build_query(std::pmr::new_delete_resource(), id, query_name);
  if (!query) return;
  std::vector<std::byte> reply(
      datagram.begin(),
      datagram.begin() + static_cast<std::ptrdiff_t>(std::min(datagram.size(), k_udp_buffer_size)));
  if (!answers_query(*query, reply)) return;
  if (datagram.size() > k_udp_buffer_size) reply[2] |= std::byte{0x02};

  auto resolver = make_resolver(ResolverSettings{});
  check(resolver.has_value());
  auto got = (*resolver)->take_reply(query_name, *query, reply, k_no_deadline, realtime_ns());
  auto again = (*resolver)->lookup_txt(query_name, k_no_deadline);
  if (got) {
    for (const auto &answer : *got)
      check(answer.name.size() <= k_max_name_bytes);
    check(answers_the_question(query_name, *got));
    if (!got->empty()) check(again && same(*got, *again));
    return;
  }
  switch (got.error()) {
  case Error::DnsNameError:
  case Error::DnsServerFailure:
  case Error::DnsTimeout: check(!again && again.error() == got.error()); break;
  default: break;
  }
}

} // namespace

// Replies come from the network: whatever the bytes, nothing may crash,
// over-read or hand over a record that does not answer the question.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const bool quiet = [] {
    log::install_log_settings(log::check_tool_log_settings());
    return true;
  }();
  (void)quiet;
  const std::span<const std::byte> packet(reinterpret_cast<const std::byte *>(data), size);
  decode(packet);

  // The question the reply names, as asked and in other case, and a fixed
  // name the reply may or may not answer.
  std::vector<std::string> names = {"_dmarc.example.org"};
  NameText question;
  if (size > k_header_size && read_name(packet, k_header_size, question)) {
    std::string asked(question.view());
    names.push_back(asked);
    for (char &c : asked)
      c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    names.push_back(asked + ".");
  }
  for (const auto &name : names)
    take(name, packet);
  return 0;
}
