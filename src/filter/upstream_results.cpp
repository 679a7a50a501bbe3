#include "filter/upstream_results.hpp"

#include "core/ascii.hpp"
#include "filter/auth_results.hpp"
#include "filter/record_result.hpp"
#include "log/log.hpp"

#include <new>

namespace corvane::filter {

namespace {

// The SPF result, the ARC result, and a domain and a result per DKIM entry.
constexpr std::size_t k_max_texts = 2 + 2 * k_max_upstream_dkim;

class Collector {
public:
  explicit Collector(UpstreamResults &out) : out_(out) {}

  // False when the rest of this header is not to be read.
  bool take(const ResInfo &entry) noexcept {
    if (ascii_iequal(entry.method, "spf")) {
      if (!spf_seen_) out_.spf_result = keep(entry.result);
      spf_seen_ = true;
    } else if (ascii_iequal(entry.method, "arc")) {
      if (!arc_seen_) out_.arc_result = keep(entry.result);
      arc_seen_ = true;
    } else if (ascii_iequal(entry.method, "dkim")) {
      return take_dkim(entry);
    }
    return true;
  }

private:
  bool take_dkim(const ResInfo &entry) noexcept {
    if (out_.dkim.size() == k_max_upstream_dkim) {
      out_.over_limit = true;
      return false;
    }
    if (!reserve(out_.dkim, k_max_upstream_dkim)) return false;
    dmarc::IdentifierResult identifier;
    if (const auto domain = find_property(entry, "header.d")) identifier.domain = keep(*domain);
    identifier.result = keep(entry.result);
    const auto rules = find_property(entry, "policy.dkim-rules");
    identifier.testing_key = rules && ascii_iequal(*rules, "testing-key");
    out_.dkim.push_back(identifier); // within the reserved capacity: cannot throw
    return true;
  }

  // A copy in the message's allocator, or none when there is no memory.
  std::optional<std::string_view> keep(std::string_view text) noexcept {
    if (!reserve(out_.texts, k_max_texts) || out_.texts.size() == k_max_texts) return std::nullopt;
    try {
      return std::string_view(out_.texts.emplace_back(text));
    } catch (const std::bad_alloc &) {
      return std::nullopt;
    }
  }

  template <typename List> static bool reserve(List &list, std::size_t count) noexcept {
    try {
      list.reserve(count);
      return true;
    } catch (const std::bad_alloc &) {
      return false;
    }
  }

  UpstreamResults &out_;
  // The first spf (arc) entry decides even when its copy could not be made:
  // a later entry must not stand in for it.
  bool spf_seen_ = false;
  bool arc_seen_ = false;
};

} // namespace

UpstreamResults collect_upstream_results(std::span<const milter::HeaderField> headers,
                                         std::string_view authserv_id,
                                         std::pmr::memory_resource *allocator) {
  UpstreamResults out(allocator);
  Collector collector(out);
  for (const auto &header : headers) {
    if (!ascii_iequal(header.name, k_result_header_name) ||
        !authserv_id_matches(header.value, authserv_id))
      continue;
    for_each_result(header.value, [&](const ResInfo &entry) { return collector.take(entry); });
  }
  if (out.over_limit)
    log::log_message(log::Severity::warning, "more than ", k_max_upstream_dkim,
                     " DKIM results in Authentication-Results; evaluating the first ",
                     k_max_upstream_dkim);
  return out;
}

} // namespace corvane::filter
