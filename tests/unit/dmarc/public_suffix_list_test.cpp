#include "dmarc/public_suffix_list.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::dmarc {
namespace {

Result<PublicSuffixList> load(const std::string &content) {
  const test::TempDir dir;
  return load_public_suffix_list(std::pmr::get_default_resource(), dir.write("psl.dat", content));
}

TEST(PublicSuffixLoad, LinesAndRules) {
  const auto list = load("// comment\n\ncom\nCOM\n*.ck\n!city.ck\n  co.uk\r\ncom // note\n"
                         "\t*.Wild.Example \n!\n*.\n//x\nlast-line-without-newline");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->rule_count(), 7u);
  EXPECT_EQ(list->rules.size(), 4u);
  EXPECT_EQ(list->wildcards.size(), 2u);
  EXPECT_EQ(list->exceptions.size(), 1u);
  EXPECT_TRUE(list->rules.contains("co.uk"));
  EXPECT_TRUE(list->rules.contains("com // note"));
  EXPECT_TRUE(list->wildcards.contains("wild.example"));
  EXPECT_TRUE(list->exceptions.contains("city.ck"));
}

TEST(PublicSuffixLoad, SpecExampleCountsFour) {
  const auto list = load("// comment\n\ncom\nCOM\n*.ck\n!city.ck\n  co.uk\r\n");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->rule_count(), 4u);
}

TEST(PublicSuffixLoad, RuleLengthLimit) {
  const std::string ok(253, 'a');
  const std::string too_long(254, 'b');
  const auto list = load(ok + "\n" + too_long + "\n*." + too_long + "\n");
  ASSERT_TRUE(list);
  EXPECT_EQ(list->rule_count(), 1u);
  EXPECT_TRUE(is_public_suffix(*list, ok));
  EXPECT_FALSE(is_public_suffix(*list, too_long));
}

TEST(PublicSuffixLoad, Failures) {
  EXPECT_EQ(
      load_public_suffix_list(std::pmr::get_default_resource(), "/nonexistent/psl.dat").error(),
      Error::FileNotFound);
  EXPECT_EQ(load_public_suffix_list(std::pmr::get_default_resource(), "/tmp").error(),
            Error::IsDir);
  // A FIFO without a writer would block a reader forever; a device never
  // ends. Neither is read.
  const test::TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto from_fifo = load_public_suffix_list(std::pmr::get_default_resource(), fifo);
  ASSERT_FALSE(from_fifo);
  EXPECT_EQ(from_fifo.error(), Error::NotRegularFile);
  EXPECT_EQ(load_public_suffix_list(std::pmr::get_default_resource(), "/dev/zero").error(),
            Error::NotRegularFile);
  // The size limit and one byte past it.
  std::string content(k_max_psl_file_bytes, '\n');
  content.replace(0, 4, "com\n");
  const auto at_limit = load(content);
  ASSERT_TRUE(at_limit);
  EXPECT_EQ(at_limit->rule_count(), 1u);
  EXPECT_EQ(load(content + "\n").error(), Error::FileTooBig);
  EXPECT_EQ(load(std::string(5 * 1024 * 1024, 'x')).error(), Error::FileTooBig);
}

TEST(PublicSuffixLookup, ExactNames) {
  PublicSuffixList list;
  add_rule(list.rules, "com");
  add_rule(list.rules, "co.uk");
  add_rule(list.wildcards, "ck");
  add_rule(list.exceptions, "city.ck");
  add_rule(list.rules, "\xC3\xA9xample"); // UTF-8 is kept as bytes
  struct Case {
    std::string_view name;
    bool suffix;
  };
  const Case cases[] = {
      {"com", true},
      {"COM.", true},
      {".co.uk.", true},
      {"anything.ck", true},
      {"example.com", false},
      {"ck", false},
      {"city.ck", false},
      {"foo.bar.ck", false},
      {"", false},
      {"...", false},
      {"\xC3\xA9xample", true},
      {"\xC3\x89xample", false},
      {"xn--xample-9ua", false},
      {"co.uk..", true},
  };
  for (const auto &c : cases)
    EXPECT_EQ(is_public_suffix(list, c.name), c.suffix) << c.name;
  EXPECT_FALSE(is_public_suffix(list, std::string(254, 'a')));
}

} // namespace
} // namespace corvane::dmarc
