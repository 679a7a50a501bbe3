#pragma once

#include "filter/trusted_sealers.hpp"
#include "milter/header_field.hpp"

#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace corvane::filter {

// Looks for an ARC-Authentication-Results header from a trusted sealer that
// vouches for the Author Domain: a dmarc pass, a dkim pass whose header.d is
// the Author Domain, or an spf pass whose smtp.mailfrom domain is. Asked only
// when the upstream ARC result is "pass". Returns a copy of the vouching
// sealer's authserv-id in `allocator`, or none; running out of memory counts
// as no voucher.
std::optional<std::pmr::string> trusted_sealer_vouches(std::span<const milter::HeaderField> headers,
                                                       std::string_view author_domain,
                                                       std::optional<std::string_view> arc_result,
                                                       const TrustedSealers &sealers,
                                                       std::pmr::memory_resource *allocator);

} // namespace corvane::filter
