#include "config/config_document.hpp"
#include "config_text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace corvane::config {
namespace {

// The document written back as "[name]" lines and "key=value" lines, in the
// document's order, so that a case reads as the expected result.
std::string dump(const ConfigDocument &document) {
  std::string out;
  for (const auto &section : document.sections()) {
    out += "[" + section.name() + "]";
    for (const auto &entry : section.entries())
      out += " " + entry.key + "=" + entry.value;
    out += "\n";
  }
  return out;
}

struct ParseCase {
  const char *name;
  std::string text;
  std::string expected;
};

const ParseCase k_parse_cases[] = {
    {"empty file", "", "[global]\n"},
    {"only blank and comment lines", "\n \t\n# x = 1\n; y = 2\n", "[global]\n"},
    {"assignments before a header belong to global", "A = 1\n[global]\nB = 2\n",
     "[global] A=1 B=2\n"},
    {"case matters in section names", "[Global]\nA = 1\n", "[global]\n[Global] A=1\n"},
    {"spaces inside the brackets are trimmed", "[ listener:mx ]\nSocket = 25\n",
     "[global]\n[listener:mx] Socket=25\n"},
    {"blank header keeps the section", "[a]\n[  ]\nA = 1\n", "[global]\n[a] A=1\n"},
    {"unclosed header is skipped", "[a]\n[b\nA = 1\n", "[global]\n[a] A=1\n"},
    {"text after the bracket is ignored", "[a] trailing = x\nA = 1\n", "[global]\n[a] A=1\n"},
    {"the first = splits", "key = a = b\n", "[global] key=a = b\n"},
    {"empty value", "key =\n", "[global] key=\n"},
    {"no key", "= value\n", "[global]\n"},
    {"no =", "word\n", "[global]\n"},
    {"last value wins, first place stays", "A = 1\nB = 2\nA = 3\n", "[global] A=3 B=2\n"},
    {"same key in two sections", "A = 1\n[s]\nA = 2\n", "[global] A=1\n[s] A=2\n"},
    {"repeated header continues the section", "[s]\nA = 1\n[t]\n[s]\nB = 2\n",
     "[global]\n[s] A=1 B=2\n[t]\n"},
    {"hash after a value is part of it", "A = a # b\nB = x;y\n", "[global] A=a # b B=x;y\n"},
    {"comment only as the first byte", "  # A = 1\n  ;B = 2\n", "[global]\n"},
    {"quotes are ordinary bytes", "A = \"x\"\n", "[global] A=\"x\"\n"},
    {"CR LF line ends", "[s]\r\nA = 1\r\n", "[global]\n[s] A=1\n"},
    {"the whole white-space set is trimmed", "\v\f A \t=\r 1 \v\f\n", "[global] A=1\n"},
    {"last line without LF", "A = 1\nB = 2", "[global] A=1 B=2\n"},
    {"inner white space stays", "A B = 1 2\n", "[global] A B=1 2\n"},
    {"byte-order mark hides the first header", "\xEF\xBB\xBF[s]\nA = 1\n", "[global] A=1\n"},
    {"byte-order mark before an assignment sticks to the key",
     "\xEF\xBB\xBF"
     "A = 1\n",
     "[global] \xEF\xBB\xBF"
     "A=1\n"},
    {"NUL bytes are ordinary bytes", std::string("A = x\0y\n", 8),
     std::string("[global] A=x\0y\n", 15)},
};

TEST(ParseConfigText, SectionsKeysAndSkippedLines) {
  for (const auto &c : k_parse_cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(dump(config::test::parse(c.text)), c.expected);
  }
}

TEST(ParseConfigText, FindsSectionsAndKeysByExactBytes) {
  const auto document = config::test::parse("[listener:mx]\nSocket = 25\n");
  const ConfigSection *section = document.find_section("listener:mx");
  ASSERT_NE(section, nullptr);
  EXPECT_EQ(section->find("Socket"), "25");
  EXPECT_FALSE(section->find("socket"));
  EXPECT_EQ(document.find_section("Listener:mx"), nullptr);
  EXPECT_EQ(&document.global(), document.find_section("global"));
}

} // namespace
} // namespace corvane::config
