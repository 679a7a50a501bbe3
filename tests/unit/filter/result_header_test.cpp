#include "filter/result_header.hpp"
#include "unit/dmarc/failing_resource.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane::filter {
namespace {

TEST(FoldAppend, FoldsBeforeATokenThatWouldEndPastColumn78) {
  struct Case {
    std::size_t column;
    std::string_view separator;
    std::string token;
    std::string text;
    std::size_t column_after;
  };
  const std::string t54(54, 'a');
  const std::string t55(55, 'a');
  const std::string t100(100, 'a');
  const Case cases[] = {
      {24, "", t54, t54, 78},
      {24, "", t55, "\r\n\t" + t55, 56},
      {70, " ", "1234567", " 1234567", 78},
      {70, " ", "12345678", "\r\n\t12345678", 9},
      {70, "; \t ", "12345", ";\r\n\t12345", 6},
      {70, " \t", "1234567", "\r\n\t1234567", 8},
      // A line that holds nothing yet takes any token.
      {1, " ", t100, " " + t100, 102},
      {2, "", t100, "\r\n\t" + t100, 101},
  };
  for (const Case &c : cases) {
    FoldedValue value(std::pmr::get_default_resource(), c.column);
    value.text = "x";
    fold_append(value, c.separator, c.token);
    EXPECT_EQ(std::string(value.text), "x" + c.text) << c.column << "+" << c.token.size();
    EXPECT_EQ(value.column, c.column_after) << c.column << "+" << c.token.size();
  }
}

struct Case {
  std::string name;
  std::string authserv_id;
  std::string result;
  std::optional<std::string> comment;
  std::vector<std::string> from_values; // each a header.from property
  std::string value;
};

std::string compose(const Case &c, std::pmr::memory_resource *allocator) {
  std::vector<ResultProperty> properties;
  for (const auto &v : c.from_values)
    properties.push_back({"header", "from", v});
  const ResultEntry entry{"dmarc", c.result, c.comment, properties};
  const auto value = compose_result_value(c.authserv_id, entry, allocator);
  if (!value) return "error " + std::string(error_name(value.error()));
  return std::string(*value);
}

TEST(ComposeResultValue, ExactValues) {
  const std::string id54(54, 'm');
  const std::string id55(55, 'm');
  const std::string id60 = std::string(48, 'm') + ".example.net";
  const std::string d43 = std::string(31, 'd') + ".example.org";
  const std::string d44 = std::string(32, 'd') + ".example.org";
  const std::string long_comment(100, 'c');
  const Case cases[] = {
      {"full evaluation",
       "mx.example.net",
       "fail",
       "p=reject",
       {"example.org"},
       "mx.example.net;\n\tdmarc=fail (p=reject) header.from=example.org"},
      {"early outcome",
       "mx.example.net",
       "fail",
       "multiple From header fields",
       {},
       "mx.example.net;\n\tdmarc=fail (multiple From header fields)"},
      {"no comment, no property",
       "mx.example.net",
       "none",
       std::nullopt,
       {},
       "mx.example.net;\n\tdmarc=none"},
      // The property token ends exactly at column 78, or one past it.
      {"domain up to column 78",
       "mx",
       "fail",
       "p=reject",
       {d43},
       "mx;\n\tdmarc=fail (p=reject) header.from=" + d43},
      {"domain past column 78",
       "mx",
       "fail",
       "p=reject",
       {d44},
       "mx;\n\tdmarc=fail (p=reject)\n\theader.from=" + d44},
      {"authserv-id of 54", id54, "none", std::nullopt, {}, id54 + ";\n\tdmarc=none"},
      {"authserv-id of 55", id55, "none", std::nullopt, {}, "\n\t" + id55 + ";\n\tdmarc=none"},
      {"authserv-id of 60",
       id60,
       "pass",
       "p=reject",
       {"example.org"},
       "\n\t" + id60 + ";\n\tdmarc=pass (p=reject) header.from=example.org"},
      // Values that are not plain domain bytes are quoted and escaped.
      {"bare bytes",
       "mx",
       "pass",
       "p=none",
       {"a-b.c_d@E9.example"},
       "mx;\n\tdmarc=pass (p=none) header.from=a-b.c_d@E9.example"},
      {"quoted value",
       "mx",
       "fail",
       "p=none",
       {"a b\"c\\d"},
       "mx;\n\tdmarc=fail (p=none) header.from=\"a b\\\"c\\\\d\""},
      {"empty value", "mx", "fail", "p=none", {""}, "mx;\n\tdmarc=fail (p=none) header.from=\"\""},
      {"control bytes",
       "mx",
       "fail",
       "x\r\ny\tz\x7F",
       {"evil\r\n.example\x01"},
       "mx;\n\tdmarc=fail (x??y?z?) header.from=\"evil??.example?\""},
      {"eight-bit bytes",
       "mx",
       "fail",
       "p=none",
       {"b\xC3\xBC.example"},
       "mx;\n\tdmarc=fail (p=none) header.from=\"b\xC3\xBC.example\""},
      {"comment escapes",
       "mx",
       "fail",
       "a (b) \\ c)",
       {},
       "mx;\n\tdmarc=fail (a \\(b\\) \\\\ c\\))"},
      // A comment and a quoted value are one token each, however long.
      {"long comment",
       "mx",
       "fail",
       long_comment,
       {"example.org"},
       "mx;\n\tdmarc=fail\n\t(" + long_comment + ")\n\theader.from=example.org"},
      {"long quoted value",
       "mx",
       "fail",
       "p=quarantine",
       {"a " + std::string(70, 'q')},
       "mx;\n\tdmarc=fail (p=quarantine)\n\theader.from=\"a " + std::string(70, 'q') + "\""},
      {"several properties",
       "mx",
       "pass",
       "p=none",
       {"one.example", "two.example"},
       "mx;\n\tdmarc=pass (p=none) header.from=one.example header.from=two.example"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(compose(c, std::pmr::get_default_resource()), c.value) << c.name;
}

// Either the whole value or OutOfMemory, never a part of it.
TEST(ComposeResultValue, OutOfMemory) {
  const Case c{"",
               "mx.example.net.with.a.long.name",
               "fail",
               "p=reject",
               {"a-long-author-domain.example.org"},
               "mx.example.net.with.a.long.name;\n\tdmarc=fail (p=reject) "
               "header.from=a-long-author-domain.example.org"};
  for (std::size_t allowed = 0;; ++allowed) {
    ASSERT_LT(allowed, 20u);
    test::FailingResource resource(allowed);
    const std::string value = compose(c, &resource);
    if (value == c.value) break;
    EXPECT_EQ(value, "error OutOfMemory");
  }
}

} // namespace
} // namespace corvane::filter
