#include "filter/rejection_text.hpp"
#include "unit/dmarc/failing_resource.hpp"

#include <gtest/gtest.h>

namespace corvane::filter {
namespace {

TEST(RejectionText, DomainInsertedSafely) {
  struct Case {
    std::string_view reject_text;
    std::string_view domain;
    std::string_view text;
  };
  const Case cases[] = {
      {"rejected by DMARC policy for %s", "a.example", "rejected by DMARC policy for a.example"},
      {"%s failed; see https://%s/dmarc", "a.example",
       "a.example failed; see https://a.example/dmarc"},
      {"%s%s", "a.example", "a.examplea.example"},
      // Inserted text is not scanned again, and its "%" is doubled.
      {"for %s", "x%s.example", "for x%%s.example"},
      {"100% sure: %s", "a.example", "100%% sure: a.example"},
      {"%%s", "a.example", "%%a.example"},
      {"trailing %", "a.example", "trailing %%"},
      {"%S is not %s", "a.example", "%%S is not a.example"},
      // Nothing from the message can end or bend the SMTP reply.
      {"for %s", "a\r\n250 ok\x01 \x7F\xC3.example", "for a??250?ok????.example"},
      {"no domain here", "a.example", "no domain here"},
      {"", "a.example", ""},
  };
  for (const Case &c : cases) {
    const auto text = rejection_text(c.reject_text, c.domain, std::pmr::get_default_resource());
    ASSERT_TRUE(text) << c.reject_text;
    EXPECT_EQ(*text, c.text) << c.reject_text;
  }
  test::FailingResource none(0);
  const auto failed = rejection_text("rejected by DMARC policy for %s", "a.example", &none);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), Error::OutOfMemory);
}

} // namespace
} // namespace corvane::filter
