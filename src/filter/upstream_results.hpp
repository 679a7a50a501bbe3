#pragma once

#include "dmarc/evaluation.hpp"
#include "milter/header_field.hpp"

#include <cstddef>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::filter {

// At most this many DKIM results take part in an evaluation, whatever
// MaxSignatures says.
inline constexpr std::size_t k_max_upstream_dkim = dmarc::k_max_dkim_identifiers;

// What the trusted Authentication-Results headers of one message said. Every
// view points into `texts`, copies made in the message's allocator: the list
// is sized for every copy before the first is made, so its strings never
// move, and an UpstreamResults can be moved only by construction, which hands
// the buffer over whole. Copying or assigning would leave the views behind.
struct UpstreamResults {
  explicit UpstreamResults(std::pmr::memory_resource *allocator)
      : dkim(allocator), texts(allocator) {}
  UpstreamResults(UpstreamResults &&) noexcept = default;
  UpstreamResults(const UpstreamResults &) = delete;
  UpstreamResults &operator=(const UpstreamResults &) = delete;
  UpstreamResults &operator=(UpstreamResults &&) = delete;

  std::optional<std::string_view> spf_result;     // result of the first spf entry
  std::optional<std::string_view> arc_result;     // result of the first arc entry
  std::pmr::vector<dmarc::IdentifierResult> dkim; // header and entry order, at most 10
  bool over_limit = false;                        // an eleventh dkim entry was met
  std::pmr::vector<std::pmr::string> texts;
};

// Reads the Authentication-Results headers that claim `authserv_id`, in
// message order. Running out of memory never fails the message: a header that
// cannot be parsed is skipped, a copy that cannot be made leaves its value
// absent. Logs one warning when more than 10 DKIM results were offered.
UpstreamResults collect_upstream_results(std::span<const milter::HeaderField> headers,
                                         std::string_view authserv_id,
                                         std::pmr::memory_resource *allocator);

} // namespace corvane::filter
