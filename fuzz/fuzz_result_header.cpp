// Any Author Domain and comment: the composed result header value must be a
// well-formed folded header value that says exactly what was asked.
//  - no CR; every LF is followed by TAB and every TAB follows an LF; no other
//    control byte;
//  - it starts with the authserv-id and ";" (after a fold when the
//    authserv-id does not fit the first line), and then a fold;
//  - unfolded (each LF TAB read as one space) the entry is exactly the
//    method=result token, the escaped comment and the bare or quoted value;
//  - a line is at most 78 columns (the first line counted from column 24,
//    the authserv line allowed its ";" beyond) unless it holds one token,
//    and a line is folded only when its next token would not have fitted.
// A small arena that runs out yields OutOfMemory, never a different value.
//
// Input: byte 0 sizes the arena (0: unlimited), byte 1 the authserv-id's
// length, byte 2 picks the result word and whether there is a comment; then
// the authserv-id bytes (mapped into '!'..'~'), then comment NUL domain.
#include "filter/result_header.hpp"
#include "fuzz_check.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

using corvane::fuzz::check;

using namespace corvane;

bool is_control(char c) { return static_cast<unsigned char>(c) < 32 || c == 127; }

std::string escaped(std::string_view text, std::string_view specials) {
  std::string out;
  for (const char c : text) {
    if (is_control(c)) {
      out += '?';
      continue;
    }
    if (specials.find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

std::string value_text(std::string_view value) {
  bool bare = !value.empty();
  for (const char c : value)
    bare = bare && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '@' || c == '_');
  return bare ? std::string(value) : "\"" + escaped(value, "\\\"") + "\"";
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  for (;;) {
    const std::size_t fold = text.find("\n\t");
    lines.push_back(text.substr(0, fold));
    if (fold == std::string_view::npos) return lines;
    text.remove_prefix(fold + 2);
  }
}

// The entry lines must be the tokens, in order, joined by single spaces,
// folded only where the next token would have passed column 78.
void check_entry_lines(std::string_view entry, const std::vector<std::string> &tokens) {
  const auto lines = split_lines(entry);
  std::size_t next = 0;
  std::size_t previous_width = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    check(next < tokens.size());
    const std::size_t first_token = tokens[next].size();
    std::string joined = tokens[next++];
    std::size_t count = 1;
    while (joined.size() < line.size() && next < tokens.size()) {
      joined += " " + tokens[next++];
      ++count;
    }
    check(joined == line);
    const std::size_t width = 1 + line.size(); // the TAB
    check(width <= filter::k_result_fold_column || count == 1);
    if (i > 0) check(previous_width + 1 + first_token > filter::k_result_fold_column);
    previous_width = width;
  }
  check(next == tokens.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 3) return 0;
  static constexpr std::array<std::string_view, 5> k_results = {"pass", "fail", "none", "temperror",
                                                                "permerror"};
  const std::size_t arena_size = data[0] * 4u;
  const std::size_t id_size = std::min<std::size_t>(data[1] % 100, size - 3);
  const std::string_view result = k_results[data[2] % k_results.size()];
  const bool with_comment = (data[2] & 0x10) != 0;
  const bool with_property = (data[2] & 0x20) != 0;
  std::string authserv_id;
  for (std::size_t i = 0; i < id_size; ++i)
    authserv_id += static_cast<char>('!' + data[3 + i] % 94);
  const std::string_view rest(reinterpret_cast<const char *>(data) + 3 + id_size,
                              size - 3 - id_size);
  const std::size_t nul = rest.find('\0');
  const std::string_view comment = rest.substr(0, nul);
  const std::string_view domain = nul == std::string_view::npos ? "" : rest.substr(nul + 1);

  const filter::ResultProperty property{"header", "from", domain};
  filter::ResultEntry entry{"dmarc", result, std::nullopt, {}};
  if (with_comment) entry.comment = comment;
  if (with_property) entry.properties = std::span(&property, 1);

  std::pmr::monotonic_buffer_resource unlimited;
  const auto composed = filter::compose_result_value(authserv_id, entry, &unlimited);
  check(composed.has_value());
  const std::string_view value = *composed;

  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    check(c != '\r');
    if (c == '\n') check(i + 1 < value.size() && value[i + 1] == '\t');
    if (c == '\t') check(i > 0 && value[i - 1] == '\n');
    if (c != '\n' && c != '\t') check(!is_control(c));
  }

  const bool fits =
      filter::k_result_start_column + authserv_id.size() <= filter::k_result_fold_column;
  const std::string head = (fits ? "" : "\n\t") + authserv_id + ";\n\t";
  check(value.substr(0, head.size()) == head);

  std::vector<std::string> tokens{"dmarc=" + std::string(result)};
  if (with_comment) tokens.push_back("(" + escaped(comment, "()\\") + ")");
  if (with_property) tokens.push_back("header.from=" + value_text(domain));
  check_entry_lines(value.substr(head.size()), tokens);

  std::vector<std::byte> buffer(arena_size + 1);
  std::pmr::monotonic_buffer_resource limited(buffer.data(), buffer.size(),
                                              std::pmr::null_memory_resource());
  const auto small = filter::compose_result_value(authserv_id, entry, &limited);
  check(small ? *small == value : small.error() == Error::OutOfMemory);
  return 0;
}
