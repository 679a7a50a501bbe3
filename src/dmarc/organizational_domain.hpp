#pragma once

#include "dmarc/discovery.hpp"
#include "dmarc/public_suffix_list.hpp"

#include <string_view>

namespace corvane::dmarc {

// The organizational domain of the walked domain, from what the walk found:
// a record name, a right-hand part of the walked domain, or the domain itself.
// The list, when given, can only veto a public suffix chosen by label count.
// The view points into the DiscoveryResult.
std::string_view organizational_domain(const DiscoveryResult &result,
                                       const PublicSuffixList *psl) noexcept;

} // namespace corvane::dmarc
