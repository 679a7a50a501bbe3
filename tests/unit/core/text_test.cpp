#include "core/ascii.hpp"
#include "core/error.hpp"
#include "core/result.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace corvane {
namespace {

TEST(AsciiCompare, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(ascii_iequal("Example.ORG", "example.org"));
  EXPECT_FALSE(ascii_iequal("example.org", "example.org."));
  EXPECT_FALSE(ascii_iequal("a", "b"));
  // '@' (0x40) and '`' (0x60) differ by the case bit but are not letters.
  EXPECT_FALSE(ascii_iequal("@", "`"));
  EXPECT_FALSE(ascii_iequal("[", "{"));
  EXPECT_FALSE(ascii_iequal("\xC4", "\xE4"));
  EXPECT_TRUE(ascii_iequal("", ""));
  EXPECT_TRUE(ascii_istarts_with("Listener:mx", "listener:"));
  EXPECT_TRUE(ascii_iends_with("mail.EXAMPLE.org", ".example.org"));
}

TEST(Trim, EachNamedSet) {
  const std::string all = " \t\n\r\v\fx \t\n\r\v\f";
  EXPECT_EQ(trim(all), "x");
  EXPECT_EQ(trim(all, TrimSet::SpTab), "\n\r\v\fx \t\n\r\v\f");
  EXPECT_EQ(trim(" \t\rx\r\t ", TrimSet::SpTabCr), "x");
  EXPECT_EQ(trim(" \t\r\nx\n\r", TrimSet::SpTabCrLf), "x");
  EXPECT_EQ(trim("\vx", TrimSet::SpTabCrLf), "\vx");
  EXPECT_EQ(trim("a b", TrimSet::WhiteSpace), "a b");
  EXPECT_EQ(trim("   "), "");
  EXPECT_EQ(trim_left("  a  "), "a  ");
  EXPECT_EQ(trim_right("  a  "), "  a");
}

TEST(ErrorNames, AreTheOutputNames) {
  EXPECT_EQ(error_name(Error::OutOfMemory), "OutOfMemory");
  EXPECT_EQ(error_name(Error::InvalidConfiguration), "InvalidConfiguration");
  EXPECT_EQ(error_name(Error::DnsTimeout), "DnsTimeout");
  EXPECT_EQ(error_name(Error::PacketTooLarge), "PacketTooLarge");
  EXPECT_EQ(error_name(Error::Unexpected), "Unexpected");
  EXPECT_EQ(error_name(Error::DnsNoHealthyServers), "DnsNoHealthyServers");
}

TEST(ErrorNames, ErrnoMapping) {
  struct Case {
    int value;
    Error expected;
  };
  const Case cases[] = {
      {ENOENT, Error::FileNotFound},
      {EACCES, Error::AccessDenied},
      {EPERM, Error::PermissionDenied},
      {EADDRINUSE, Error::AddressInUse},
      {ECONNREFUSED, Error::ConnectionRefused},
      {EPIPE, Error::BrokenPipe},
      {EMFILE, Error::ProcessFdQuotaExceeded},
      {ENFILE, Error::SystemFdQuotaExceeded},
      {ENOMEM, Error::SystemResources},
      {EISDIR, Error::IsDir},
      {EADDRNOTAVAIL, Error::AddressNotAvailable},
      {0, Error::Unexpected},
      {EDOM, Error::Unexpected},
  };
  for (const auto &c : cases)
    EXPECT_EQ(error_from_errno(c.value), c.expected) << c.value;
}

Result<int> half(int n) {
  if (n % 2 != 0) return Error::InvalidArgument;
  return n / 2;
}

TEST(ResultType, CarriesValueOrError) {
  const auto good = half(8);
  ASSERT_TRUE(good);
  EXPECT_EQ(*good, 4);
  const auto bad = half(3);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error(), Error::InvalidArgument);
  EXPECT_EQ(bad.value_or(-1), -1);

  Result<std::string> text = std::string("abc");
  EXPECT_EQ(text->size(), 3u);
  Result<void> ok;
  EXPECT_TRUE(ok);
  Result<void> failed = Error::OutOfMemory;
  EXPECT_EQ(failed.error(), Error::OutOfMemory);
}

TEST(ResultType, BadAllocBecomesOutOfMemory) {
  const Result<int> r = catch_out_of_memory([]() -> Result<int> { throw std::bad_alloc(); });
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), Error::OutOfMemory);
}

} // namespace
} // namespace corvane
