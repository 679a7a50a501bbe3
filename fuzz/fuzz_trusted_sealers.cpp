// Any trusted-sealers file text: the parser must never crash, and every
// sealer it keeps must be one trimmed, non-comment line of the text, in order.
#include "filter/trusted_sealers.hpp"

#include "core/ascii.hpp"
#include "fuzz_check.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

using corvane::fuzz::check;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using namespace corvane;
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  const auto sealers = filter::parse_trusted_sealers(text, std::pmr::get_default_resource());
  check(sealers.has_value());
  std::size_t next = 0;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = trim(text.substr(start, end - start), TrimSet::SpTabCr);
    if (!line.empty() && line.front() != '#') {
      check(next < sealers->ids.size() && sealers->ids[next] == line);
      ++next;
    }
    start = end + 1;
  }
  check(next == sealers->ids.size());
  if (next > 0) check(sealers->contains(sealers->ids.back()));
  for (const auto &id : sealers->ids)
    check(!id.empty() && id.find('\n') == std::string::npos && id.front() != '#' &&
          !in_trim_set(id.front(), TrimSet::SpTabCr) && !in_trim_set(id.back(), TrimSet::SpTabCr));
  return 0;
}
