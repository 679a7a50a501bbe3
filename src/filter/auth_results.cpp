#include "filter/auth_results.hpp"

#include "core/ascii.hpp"
#include "filter/header_text.hpp"

namespace corvane::filter {

namespace {

constexpr auto k_npos = std::string_view::npos;

// White space between the parts of a result entry.
constexpr TrimSet k_entry_space = TrimSet::SpTabCrLf;

} // namespace

std::optional<ResInfo> parse_result_entry(std::string_view piece) noexcept {
  const std::size_t start = skip_space_and_comments(piece, 0, k_entry_space);
  if (start == piece.size()) return std::nullopt;
  const std::size_t equals = find_outside(piece, '=', start);
  if (equals == k_npos) return std::nullopt;
  const std::string_view method = trim(piece.substr(start, equals - start));
  if (method.empty()) return std::nullopt;
  const std::size_t result_start = skip_space_and_comments(piece, equals + 1, k_entry_space);
  const std::size_t result_end = token_end(piece, result_start, k_entry_space);
  if (result_end == result_start) return std::nullopt;
  return ResInfo{method, piece.substr(result_start, result_end - result_start),
                 piece.substr(result_end)};
}

bool authserv_id_matches(std::string_view value, std::string_view authserv_id) noexcept {
  value = trim_left(value);
  if (!ascii_istarts_with(value, authserv_id)) return false;
  if (value.size() == authserv_id.size()) return true;
  const char next = value[authserv_id.size()];
  return next == ' ' || next == '\t' || next == ';';
}

std::string_view parse_authserv_id(std::string_view value) noexcept {
  value = trim_left(value);
  const std::size_t semicolon = value.find(';');
  return semicolon == k_npos ? value : trim(value.substr(0, semicolon));
}

Result<AuthResults> parse_auth_results(std::string_view value,
                                       std::pmr::memory_resource *allocator) {
  return catch_out_of_memory([&]() -> Result<AuthResults> {
    AuthResults parsed{parse_authserv_id(value), std::pmr::vector<ResInfo>(allocator)};
    for_each_result(value, [&](const ResInfo &entry) {
      parsed.results.push_back(entry);
      return true;
    });
    return parsed;
  });
}

std::optional<std::string_view> find_property(const ResInfo &entry,
                                              std::string_view name) noexcept {
  const std::string_view text = entry.properties;
  std::size_t i = skip_space_and_comments(text, 0, k_entry_space);
  while (i < text.size()) {
    const std::size_t end = token_end(text, i, k_entry_space);
    const std::string_view token = text.substr(i, end - i);
    const std::size_t equals = token.find('=');
    if (equals != k_npos && equals > 0 && equals + 1 < token.size() &&
        ascii_iequal(token.substr(0, equals), name))
      return token.substr(equals + 1);
    // The token is never empty: it starts past white space and comments,
    // and ends at the next ones, so the walk always moves on.
    i = skip_space_and_comments(text, end, k_entry_space);
  }
  return std::nullopt;
}

} // namespace corvane::filter
