#include "dmarc/public_suffix_list.hpp"

#include "core/ascii.hpp"
#include "core/bounded_file.hpp"

#include <array>

namespace corvane::dmarc {

namespace {

void add_line(PublicSuffixList &list, std::string_view line) {
  line = trim(line, TrimSet::SpTabCr);
  if (line.empty() || line.starts_with("//")) return;
  if (line.starts_with('!')) {
    add_rule(list.exceptions, line.substr(1));
  } else if (line.starts_with("*.")) {
    add_rule(list.wildcards, line.substr(2));
  } else {
    add_rule(list.rules, line);
  }
}

Result<PublicSuffixList> parse_list(std::pmr::memory_resource *allocator,
                                    std::string_view content) {
  PublicSuffixList list(allocator);
  while (!content.empty()) {
    const auto newline = content.find('\n');
    add_line(list, content.substr(0, newline));
    if (newline == std::string_view::npos) break;
    content.remove_prefix(newline + 1);
  }
  return list;
}

// Folds into the caller's buffer; the text is at most k_max_rule_bytes long.
std::string_view fold(std::string_view text, std::array<char, k_max_rule_bytes> &buffer) noexcept {
  for (std::size_t i = 0; i < text.size(); ++i)
    buffer[i] = ascii_lower(text[i]);
  return {buffer.data(), text.size()};
}

} // namespace

void add_rule(RuleSet &set, std::string_view text) {
  if (text.empty() || text.size() > k_max_rule_bytes) return;
  std::array<char, k_max_rule_bytes> buffer;
  const std::string_view folded = fold(text, buffer);
  if (set.find(folded) != set.end()) return;
  set.emplace(folded);
}

Result<PublicSuffixList> load_public_suffix_list(std::pmr::memory_resource *allocator,
                                                 std::string_view path) {
  return catch_out_of_memory([&]() -> Result<PublicSuffixList> {
    auto content = read_bounded_file(path, k_max_psl_file_bytes, FileKind::regular_only, allocator);
    if (!content) return content.error();
    return parse_list(allocator, *content);
  });
}

bool is_public_suffix(const PublicSuffixList &list, std::string_view name) noexcept {
  while (!name.empty() && name.front() == '.')
    name.remove_prefix(1);
  while (!name.empty() && name.back() == '.')
    name.remove_suffix(1);
  if (name.empty() || name.size() > k_max_rule_bytes) return false;
  std::array<char, k_max_rule_bytes> buffer;
  name = fold(name, buffer);
  if (list.exceptions.find(name) != list.exceptions.end()) return false;
  if (list.rules.find(name) != list.rules.end()) return true;
  const auto dot = name.find('.');
  return dot != std::string_view::npos &&
         list.wildcards.find(name.substr(dot + 1)) != list.wildcards.end();
}

} // namespace corvane::dmarc
