#include "core/number.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace corvane {
namespace {

struct NumberCase {
  std::string text;
  std::optional<std::uint64_t> expected; // nullopt: does not read
};

// The rules shared by every width; the width-specific limits follow.
const NumberCase k_common_cases[] = {
    {"0", 0},     {"5", 5},   {"+5", 5},   {"1_2", 12}, {"1_0_0", 100}, {"_1", {}},  {"1_", {}},
    {"1__0", {}}, {"-0", 0},  {"-0_0", 0}, {"-00", 0},  {"-", {}},      {"+", {}},   {"", {}},
    {" 1", {}},   {"1 ", {}}, {"1 0", {}}, {"+-0", {}}, {"-+0", {}},    {"++1", {}}, {"0x10", {}},
    {"1a", {}},   {"007", 7}, {"+_1", {}}, {"-_0", {}}, {"-0_", {}},    {"12", 12},
};

template <typename Reader> void check_common(Reader reader, const char *width) {
  for (const auto &c : k_common_cases) {
    const auto got = reader(c.text);
    SCOPED_TRACE(std::string(width) + " \"" + c.text + "\"");
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (got) {
      EXPECT_EQ(static_cast<std::uint64_t>(*got), *c.expected);
    }
  }
}

TEST(DecimalReader, SharedRulesHoldForEveryWidth) {
  check_common(read_u8, "u8");
  check_common(read_u16, "u16");
  check_common(read_u32, "u32");
  check_common(read_u64, "u64");
  check_common(read_i32, "i32");
  check_common(read_i64, "i64");
}

TEST(DecimalReader, NegativeOnlyForSignedWidths) {
  EXPECT_FALSE(read_u8("-1").has_value());
  EXPECT_FALSE(read_u16("-1").has_value());
  EXPECT_FALSE(read_u32("-1").has_value());
  EXPECT_FALSE(read_u64("-1").has_value());
  EXPECT_EQ(read_u16("1_000"), 1000);
  EXPECT_EQ(read_i64("-1"), -1);
  EXPECT_EQ(read_i64("-1_000"), -1000);
  EXPECT_EQ(read_i32("-5"), -5);
}

TEST(DecimalReader, WidthBoundaries) {
  EXPECT_EQ(read_u8("255"), 255);
  EXPECT_FALSE(read_u8("256"));
  EXPECT_EQ(read_u8("2_5_5"), 255);
  EXPECT_EQ(read_u16("65535"), 65535);
  EXPECT_FALSE(read_u16("65536"));
  EXPECT_EQ(read_u32("4294967295"), 4294967295u);
  EXPECT_FALSE(read_u32("4294967296"));
  EXPECT_EQ(read_u64("18446744073709551615"), UINT64_MAX);
  EXPECT_FALSE(read_u64("18446744073709551616"));
  EXPECT_FALSE(read_u64("99999999999999999999999"));
  EXPECT_EQ(read_i64("9223372036854775807"), INT64_MAX);
  EXPECT_FALSE(read_i64("9223372036854775808"));
  EXPECT_EQ(read_i64("-9223372036854775808"), INT64_MIN);
  EXPECT_FALSE(read_i64("-9223372036854775809"));
  EXPECT_EQ(read_i32("2147483647"), INT32_MAX);
  EXPECT_FALSE(read_i32("2147483648"));
  EXPECT_EQ(read_i32("-2147483648"), INT32_MIN);
  EXPECT_FALSE(read_i32("-2147483649"));
  // Leading zeros never overflow on their own.
  EXPECT_EQ(read_u8("0000000000000000000255"), 255);
}

TEST(OctalReader, DigitsAndLimits) {
  EXPECT_EQ(read_octal_u16("027"), 027);
  EXPECT_EQ(read_octal_u16("+7_7"), 077);
  EXPECT_EQ(read_octal_u16("-0"), 0);
  EXPECT_FALSE(read_octal_u16("8"));
  EXPECT_FALSE(read_octal_u16("-1"));
  EXPECT_FALSE(read_octal_u16(""));
  EXPECT_EQ(read_octal_u16("177777"), 0177777);
  EXPECT_FALSE(read_octal_u16("200000"));
}

} // namespace
} // namespace corvane
