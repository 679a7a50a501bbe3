// Any TXT text: the record parser must never crash or read past the text,
// and what it yields must stay within its fields' ranges.
#include "dmarc/record.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  const auto record = corvane::dmarc::parse_dmarc_record(text, std::pmr::get_default_resource());
  if (record) {
    if (record->pct > 100) std::abort();
    if (record->rua.size() > size || record->ruf.size() > size) std::abort();
    if (record->rua_valid != corvane::dmarc::rua_is_valid(record->rua)) std::abort();
  }
  corvane::dmarc::rua_is_valid(text);
  return 0;
}
