#pragma once

#include <string>
#include <vector>

namespace corvane::test {

// A header value and how it must appear inside a JSON string.
struct EscapeCase {
  std::string name;
  std::string raw;
  std::string escaped;
};

// Control bytes, quotes, valid UTF-8 at every length and at the edges of the
// valid ranges, and each way a byte can fail to belong to a valid sequence.
inline std::vector<EscapeCase> escape_cases() {
  using namespace std::string_literals;
  return {
      {"plain", "user@example.org", "user@example.org"},
      {"empty", "", ""},
      {"quote_and_backslash", "\"Bob \\ Co\" <b@example.org>",
       "\\\"Bob \\\\ Co\\\" <b@example.org>"},
      {"named_controls", "a\bb\tc\nd\fe\rf", "a\\bb\\tc\\nd\\fe\\rf"},
      {"other_controls", "\x00\x01\x07\x0b\x0e\x1b\x1f"s,
       "\\u0000\\u0001\\u0007\\u000b\\u000e\\u001b\\u001f"},
      {"space_and_del_unchanged", " ~\x7f", " ~\x7f"},
      {"utf8_two_three_four", "J\xc3\xbcrgen \xe2\x82\xac \xf0\x9f\x98\x80",
       "J\xc3\xbcrgen \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"utf8_range_edges", "\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf",
       "\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf"},
      {"utf8_plane_edges", "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", "\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"},
      {"lone_continuation", "a\x80z", "a\\ufffdz"},
      {"c0_c1_overlong", "\xc0\xaf\xc1\xbf", "\\ufffd\\ufffd\\ufffd\\ufffd"},
      {"three_byte_overlong", "\xe0\x9f\xbf", "\\ufffd\\ufffd\\ufffd"},
      {"four_byte_overlong", "\xf0\x8f\xbf\xbf", "\\ufffd\\ufffd\\ufffd\\ufffd"},
      {"surrogates", "\xed\xa0\x80\xed\xbf\xbf", "\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd"},
      {"above_max", "\xf4\x90\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},
      {"f5_to_ff", "\xf5\xfe\xff", "\\ufffd\\ufffd\\ufffd"},
      {"truncated_at_end", "x\xe2\x82", "x\\ufffd\\ufffd"},
      {"truncated_before_ascii", "\xf0\x9f\x98\"", "\\ufffd\\ufffd\\ufffd\\\""},
      {"truncated_then_valid", "\xe2\xc3\xa9", "\\ufffd\xc3\xa9"},
      {"lead_at_end", "\xc3", "\\ufffd"},
  };
}

} // namespace corvane::test
