#include "filter/rejection_text.hpp"

namespace corvane::filter {

namespace {

void append_domain(std::pmr::string &out, std::string_view domain) {
  for (const char c : domain) {
    if (c == '%') {
      out.append("%%");
    } else if (c >= '!' && c <= '~') {
      out.push_back(c);
    } else {
      out.push_back('?');
    }
  }
}

} // namespace

Result<std::pmr::string> rejection_text(std::string_view reject_text,
                                        std::string_view author_domain,
                                        std::pmr::memory_resource *allocator) {
  return catch_out_of_memory([&]() -> Result<std::pmr::string> {
    std::pmr::string out(allocator);
    out.reserve(reject_text.size() + 2 * author_domain.size());
    for (std::size_t i = 0; i < reject_text.size(); ++i) {
      const char c = reject_text[i];
      if (c != '%') {
        out.push_back(c);
      } else if (i + 1 < reject_text.size() && reject_text[i + 1] == 's') {
        append_domain(out, author_domain);
        ++i;
      } else {
        out.append("%%");
      }
    }
    return out;
  });
}

} // namespace corvane::filter
