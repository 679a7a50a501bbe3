// Any From value or MAIL FROM argument: the address and domain extraction must
// never crash, and what it yields must lie inside the text it came from and
// follow the extraction rules; a small arena that runs out is OutOfMemory.
//
// Input: the first byte sizes the arena (0: unlimited); the rest is the value.
#include "filter/identities.hpp"

#include "core/ascii.hpp"
#include "fuzz_check.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory_resource>
#include <string_view>
#include <vector>

namespace {

using corvane::fuzz::check;
using corvane::fuzz::inside;

using namespace corvane;

bool is_white_space(char c) { return in_trim_set(c, TrimSet::WhiteSpace); }

void check_domain(std::string_view domain) {
  check(!domain.empty());
  check(domain.find('@') == std::string_view::npos);
  check(!is_white_space(domain.front()) && !is_white_space(domain.back()));
}

void check_from(std::string_view value, std::pmr::memory_resource *arena) {
  filter::AuthorAddress author(arena);
  if (!filter::parse_from_value(value, author)) return;
  check(author.text.size() <= value.size());
  check(author.address.has_value() && inside(*author.address, author.text));
  if (author.domain) {
    check(inside(*author.domain, *author.address));
    check_domain(*author.domain);
  } else {
    const std::size_t at = author.address->rfind('@');
    check(at == std::string_view::npos || trim(author.address->substr(at + 1)).empty());
  }
  // Several addresses need several "@"; without a comma, several need a
  // second "<".
  if (std::count(author.text.begin(), author.text.end(), '@') < 2)
    check(!author.multiple_addresses);
  if (author.text.find(',') == std::string::npos &&
      std::count(author.text.begin(), author.text.end(), '<') < 2)
    check(!author.multiple_addresses);
  // Every "(" left stands in a quoted string.
  if (value.find('"') == std::string_view::npos) check(author.text.find('(') == std::string::npos);
}

void check_mail_from(std::string_view argument) {
  const auto domain = filter::mail_from_domain(argument);
  if (!domain) return;
  check(inside(*domain, argument) && !domain->empty());
  check(domain->find('@') == std::string_view::npos);
  check(domain->data()[-1] == '@');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view value(reinterpret_cast<const char *>(data) + 1, size - 1);
  const std::size_t arena_size = data[0] * 4u;
  std::vector<std::byte> buffer(arena_size + 1);
  std::pmr::monotonic_buffer_resource limited(buffer.data(), buffer.size(),
                                              std::pmr::null_memory_resource());
  std::pmr::monotonic_buffer_resource unlimited;
  check_from(value,
             arena_size == 0 ? static_cast<std::pmr::memory_resource *>(&unlimited) : &limited);
  check_mail_from(value);
  return 0;
}
