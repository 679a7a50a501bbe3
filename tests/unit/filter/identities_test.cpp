#include "filter/identities.hpp"
#include "unit/dmarc/failing_resource.hpp"
#include "unit/filter/header_list.hpp"

#include <gtest/gtest.h>

namespace corvane::filter {
namespace {

using test::header_list;

TEST(AuthorAddress, FromValues) {
  struct Case {
    std::string_view value;
    std::optional<std::string_view> address;
    std::optional<std::string_view> domain;
    bool multiple = false;
  };
  const Case cases[] = {
      {"\"Doe, Jane\" <jane@Example.ORG>", "jane@Example.ORG", "Example.ORG"},
      {" \t jane@example.org \r\n", "jane@example.org", "example.org"},
      // Comments are no part of the address, wherever they stand.
      {"alice@bank.example (Alice)", "alice@bank.example", "bank.example"},
      {"alice(x)@bank(y).example", "alice@bank.example", "bank.example"},
      {"Alice <alice@bank.example> (at work, alice@work.example)", "alice@bank.example",
       "bank.example"},
      {"alice@bank.example (a (nested \\) one) still)", "alice@bank.example", "bank.example"},
      {"alice@bank.example (never closed", "alice@bank.example", "bank.example"},
      {"\"Alice (not a comment) <x@evil.example>\" <alice@a.example>", "alice@a.example",
       "a.example"},
      // White space around the domain is not part of it.
      {"<alice@ bank.example\v>", "alice@ bank.example\v", "bank.example"},
      {"<alice@ >", "alice@ ", std::nullopt},
      {"alice@", "alice@", std::nullopt},
      {"no address here", "no address here", std::nullopt},
      {"", "", std::nullopt},
      {"(only a comment@x.example)", "", std::nullopt},
      // The last ">" and the last "<" before it.
      {"x <a@one.example> <b@two.example>", "b@two.example", "two.example", true},
      {"<a@b.example> trailing words", "a@b.example", "b.example"},
      {"a@b.example>", "a@b.example>", "b.example>"},
      {">a@b.example", ">a@b.example", "b.example"},
      // Several addresses in one From header.
      {"victim@bank.example, attacker@evil.example", "victim@bank.example, attacker@evil.example",
       "evil.example", true},
      {"<victim@bank.example>,\"x\" <attacker@evil.example>", "attacker@evil.example",
       "evil.example", true},
      {"\"a@b\" , <c@d.example>", "c@d.example", "d.example", true},
      {"<victim@bank.example> <attacker@evil.example>", "attacker@evil.example", "evil.example",
       true},
      {"<victim@bank.example, attacker@evil.example>", "victim@bank.example, attacker@evil.example",
       "evil.example", true},
      {"<@relay.example:bob@x.example, eve@evil.example>",
       "@relay.example:bob@x.example, eve@evil.example", "evil.example", true},
      // One address: the display name repeats it, or holds a comma.
      {"bob@x.example <bob@x.example>", "bob@x.example", "x.example"},
      {"Bob, Inc <bob@x.example>", "bob@x.example", "x.example"},
      {"\"Bob, bob@x.example\" <bob@x.example>", "bob@x.example", "x.example"},
      {"bob@x.example (and, carol@y.example)", "bob@x.example", "x.example"},
      {"<@relay.example,@hub.example:bob@x.example>", "@relay.example,@hub.example:bob@x.example",
       "x.example"},
      {"<@relay.example:bob@x.example>", "@relay.example:bob@x.example", "x.example"},
      {"<\"a,b@c\"@x.example>", "\"a,b@c\"@x.example", "x.example"},
      {"\"<a@evil.example>\" <b@x.example>", "b@x.example", "x.example"},
      {"<bob@x.example,>", "bob@x.example,", "x.example,"},
      {"bob@x.example,", "bob@x.example,", "x.example,"},
  };
  std::pmr::monotonic_buffer_resource arena;
  for (const Case &c : cases) {
    AuthorAddress author(&arena);
    ASSERT_TRUE(parse_from_value(c.value, author)) << c.value;
    EXPECT_EQ(author.address, c.address) << c.value;
    EXPECT_EQ(author.domain, c.domain) << c.value;
    EXPECT_EQ(author.multiple_addresses, c.multiple) << c.value;
  }
}

TEST(AuthorAddress, FirstFromHeaderOnly) {
  const auto headers = header_list({
      {"Sender", "s@sender.example"},
      {"from", "Someone <someone@first.example>"},
      {"From", "victim@bank.example, attacker@evil.example"},
  });
  std::pmr::monotonic_buffer_resource arena;
  AuthorAddress author(&arena);
  ASSERT_TRUE(author_address(headers, author));
  EXPECT_EQ(author.domain, "first.example");
  EXPECT_FALSE(author.multiple_addresses);

  ASSERT_TRUE(author_address(header_list({{"Reply-To", "r@x.example"}}), author));
  EXPECT_EQ(author.address, std::nullopt);
  EXPECT_EQ(author.domain, std::nullopt);
  EXPECT_FALSE(author.multiple_addresses);
}

TEST(AuthorAddress, OutOfMemory) {
  test::FailingResource none(0);
  AuthorAddress author(&none);
  const auto failed = author_address(
      header_list({{"From", "A rather long display name <someone@example.org>"}}), author);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), Error::OutOfMemory);
  EXPECT_EQ(author.domain, std::nullopt);
}

TEST(MailFromDomain, ArgumentsOfMailFrom) {
  struct Case {
    std::optional<std::string_view> argument;
    std::optional<std::string_view> domain;
  };
  const Case cases[] = {
      {"<>", std::nullopt},
      {"<bounce@lists.example.org>", "lists.example.org"},
      {"bounce@lists.example.org", "lists.example.org"},
      {"<bounce+x=y@z@Lists.Example.ORG>", "Lists.Example.ORG"},
      {"<bounce@>", std::nullopt},
      {"<postmaster>", std::nullopt},
      {"<<a@b.example>>", "b.example>"},
      {"@b.example", "b.example"},
      {"", std::nullopt},
      {std::nullopt, std::nullopt},
  };
  for (const Case &c : cases)
    EXPECT_EQ(mail_from_domain(c.argument), c.domain) << c.argument.value_or("(none)");
}

} // namespace
} // namespace corvane::filter
