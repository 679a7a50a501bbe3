// Any header values: the Authentication-Results parser, find_property, the
// upstream collector and the ARC sealer check must never crash or read past a
// value, every view they hand out must lie inside the text it came from, and
// a small arena that runs out must only make values absent.
//
// Input: header fields separated by NUL bytes; the first byte of a field
// picks its name, the rest is its value. The first byte of the whole input
// sizes the arena.
#include "core/ascii.hpp"
#include "filter/auth_results.hpp"
#include "filter/sealer_vouching.hpp"
#include "filter/upstream_results.hpp"
#include "fuzz_check.hpp"
#include "log/log.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

namespace {

using corvane::fuzz::check;
using corvane::fuzz::inside;

using namespace corvane;

constexpr std::string_view k_authserv_id = "mx.example.net";
constexpr std::string_view k_author_domain = "example.com";
constexpr std::array<std::string_view, 4> k_names = {
    "Authentication-Results", "ARC-Authentication-Results", "authentication-results", "From"};

bool is_entry_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void check_parse(std::string_view value, std::pmr::memory_resource *arena) {
  if (filter::authserv_id_matches(value, k_authserv_id)) {
    const std::string_view rest = trim_left(value);
    check(ascii_istarts_with(rest, k_authserv_id));
  }
  const auto parsed = filter::parse_auth_results(value, arena);
  if (!parsed) {
    check(parsed.error() == Error::OutOfMemory);
    return;
  }
  check(inside(parsed->authserv_id, value));
  for (const filter::ResInfo &entry : parsed->results) {
    check(!entry.method.empty() && inside(entry.method, value));
    check(!entry.result.empty() && inside(entry.result, value));
    check(inside(entry.properties, value));
    check(entry.result.front() != '(' && !is_entry_space(entry.result.front()));
    for (const std::string_view name : {"header.d", "smtp.mailfrom", "policy.dkim-rules"}) {
      const auto property = filter::find_property(entry, name);
      if (!property) continue;
      check(!property->empty() && inside(*property, entry.properties));
      const std::string_view before(
          entry.properties.data(),
          static_cast<std::size_t>(property->data() - entry.properties.data()));
      check(ascii_iends_with(before, std::string(name) + "="));
    }
  }
}

bool owned_by(std::optional<std::string_view> text, const filter::UpstreamResults &results) {
  if (!text) return true;
  for (const auto &kept : results.texts)
    if (text->data() == kept.data() && text->size() == kept.size()) return true;
  return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const bool quiet = [] {
    log::LogSettings settings = log::initial_log_settings();
    settings.level = 3;
    log::install_log_settings(settings);
    return true;
  }();
  (void)quiet;
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char *>(data), size);

  std::vector<milter::HeaderField> headers;
  std::size_t start = 1;
  while (start < input.size()) {
    std::size_t end = input.find('\0', start);
    if (end == std::string_view::npos) end = input.size();
    if (end > start) {
      milter::HeaderField &field = headers.emplace_back();
      field.name = k_names[static_cast<unsigned char>(input[start]) % k_names.size()];
      field.value = input.substr(start + 1, end - start - 1);
    }
    start = end + 1;
  }

  // 0 means an arena that never runs out.
  const std::size_t arena_size = static_cast<unsigned char>(input[0]) * 8u;
  std::vector<std::byte> buffer(arena_size + 1);
  std::pmr::monotonic_buffer_resource limited(buffer.data(), arena_size + 1,
                                              std::pmr::null_memory_resource());
  std::pmr::monotonic_buffer_resource unlimited;
  std::pmr::memory_resource *arena =
      arena_size == 0 ? static_cast<std::pmr::memory_resource *>(&unlimited) : &limited;

  for (const auto &field : headers)
    check_parse(field.value, arena);

  const auto results = filter::collect_upstream_results(headers, k_authserv_id, arena);
  check(results.dkim.size() <= filter::k_max_upstream_dkim);
  check(!results.over_limit || results.dkim.size() == filter::k_max_upstream_dkim);
  check(owned_by(results.spf_result, results) && owned_by(results.arc_result, results));
  for (const auto &identifier : results.dkim)
    check(owned_by(identifier.domain, results) && owned_by(identifier.result, results));

  filter::TrustedSealers sealers;
  sealers.ids.emplace_back("arc.example.org");
  sealers.ids.emplace_back(k_authserv_id);
  const auto sealer = filter::trusted_sealer_vouches(
      headers, k_author_domain, results.arc_result.value_or("pass"), sealers, arena);
  if (sealer) check(sealers.contains(*sealer));
  return 0;
}
