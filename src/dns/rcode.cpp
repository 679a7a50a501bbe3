#include "dns/rcode.hpp"

namespace corvane::dns {

std::string_view rcode_name(std::uint8_t rcode) noexcept {
  switch (rcode) {
  case 1: return "format_error";
  case 2: return "server_failure";
  case 3: return "name_error";
  case 4: return "not_implemented";
  case 5: return "refused";
  default: return {};
  }
}

} // namespace corvane::dns
