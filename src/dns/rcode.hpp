#pragma once

#include <cstdint>
#include <string_view>

namespace corvane::dns {

// The text of a response code in log lines and negative cache kinds:
// "format_error" for 1 ... "refused" for 5. Codes 0 and 6 to 15 have no name
// and give the empty text.
std::string_view rcode_name(std::uint8_t rcode) noexcept;

} // namespace corvane::dns
