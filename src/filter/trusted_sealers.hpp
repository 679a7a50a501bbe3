#pragma once

#include "core/result.hpp"

#include <cstddef>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::filter {

inline constexpr std::size_t k_max_trusted_sealers_file_bytes = 1024 * 1024;

// The authserv-ids of the ARC sealers whose verdicts may vouch for a message
// that fails DMARC, in file order and as written (duplicates stay). Built
// before the worker threads start and only read afterwards, so the threads
// share it without a lock.
struct TrustedSealers {
  explicit TrustedSealers(std::pmr::memory_resource *allocator = std::pmr::get_default_resource())
      : ids(allocator) {}

  // Case-insensitive.
  bool contains(std::string_view authserv_id) const noexcept;

  std::pmr::vector<std::pmr::string> ids;
};

// One sealer per line: lines are split at LF and trimmed of SP, TAB and CR;
// empty lines and lines starting with "#" are skipped. Fails only with
// OutOfMemory.
Result<TrustedSealers> parse_trusted_sealers(std::string_view text,
                                             std::pmr::memory_resource *allocator);

// Reads the file (a regular file of at most 1 MiB) and logs the outcome at
// info, or at err on any failure; a failure yields an empty list, which only
// disables the ARC override.
TrustedSealers
load_trusted_sealers(std::string_view path,
                     std::pmr::memory_resource *allocator = std::pmr::get_default_resource());

} // namespace corvane::filter
