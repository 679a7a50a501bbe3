#include "dns/query.hpp"
#include "dns/reply_match.hpp"
#include "support/dns_packet_builder.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane::dns {
namespace {

using corvane::test::PacketBuilder;

constexpr unsigned k_id = 0xBEEF;

// A reply header for the query's ID unless told otherwise, QR set.
PacketBuilder reply(unsigned qdcount, unsigned id = k_id, unsigned flags = 0x8180) {
  PacketBuilder p;
  p.header(id, flags, qdcount, 0);
  return p;
}

TEST(AnswersQuery, WhichRepliesAnswerTheQuestion) {
  auto query = build_query(std::pmr::new_delete_resource(), k_id, "_dmarc.Example.org.");
  ASSERT_TRUE(query);
  struct Case {
    const char *what;
    PacketBuilder packet;
    bool answers;
  };
  const Case cases[] = {
      {"the question asked", reply(1).name("_dmarc.Example.org").u16(16).u16(1), true},
      {"the name in other case", reply(1).name("_DMARC.example.ORG").u16(16).u16(1), true},
      {"answers after the question",
       reply(1).name("_dmarc.example.org").u16(16).u16(1).pointer(12).txt(60, {"x"}), true},
      {"no question, the same ID (FORMERR, REFUSED)", reply(0, k_id, 0x8185), true},
      {"no question, another ID", reply(0, k_id ^ 1, 0x8185), false},
      {"another ID", reply(1, k_id ^ 0x100).name("_dmarc.example.org").u16(16).u16(1), false},
      {"QR clear", reply(1, k_id, 0x0100).name("_dmarc.example.org").u16(16).u16(1), false},
      {"another name", reply(1).name("_dmarc.example.net").u16(16).u16(1), false},
      {"a longer name", reply(1).name("_dmarc.example.org.uk").u16(16).u16(1), false},
      {"a shorter name", reply(1).name("_dmarc.example").u16(16).u16(1), false},
      {"another type", reply(1).name("_dmarc.example.org").u16(1).u16(1), false},
      {"another class", reply(1).name("_dmarc.example.org").u16(16).u16(3), false},
      {"two questions", reply(2).name("_dmarc.example.org").u16(16).u16(1).name("x").u16(16).u16(1),
       false},
      {"question cut short", reply(1).name("_dmarc.example.org").u16(16), false},
      {"compressed question", reply(1).pointer(12).u16(16).u16(1), false},
      {"header only, a question claimed", reply(1), false},
      {"shorter than a header", PacketBuilder().u16(k_id).u16(0x8180).u16(0), false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(answers_query(*query, c.packet.span()), c.answers) << c.what;

  PacketBuilder dots;
  dots.header(k_id, 0x8180, 1, 0).u8(14).text("_dmarc.example").u8(3).text("org").u8(0);
  dots.u16(16).u16(1);
  EXPECT_FALSE(answers_query(*query, dots.span())) << "a label holding a dot";
}

TEST(KeepAnswersTo, OwnersOnTheQueryNamesChain) {
  const auto answer = [](std::string name, std::uint16_t type, std::string data) {
    DnsAnswer a;
    a.name = name;
    a.type = type;
    a.data = data;
    return a;
  };
  struct Case {
    const char *what;
    std::string query;
    std::vector<DnsAnswer> answers;
    std::vector<std::string> kept; // data of the answers kept
  };
  const Case cases[] = {
      {"the name itself, in any case, query with its dots",
       ".a.example.",
       {answer("a.example", 16, "1"), answer("A.EXAMPLE", 16, "2"), answer("b.example", 16, "3")},
       {"1", "2"}},
      {"a chain in order",
       "a.example",
       {answer("a.example", 5, "b.example"), answer("b.example", 5, "c.example"),
        answer("c.example", 16, "txt"), answer("d.example", 16, "other")},
       {"b.example", "c.example", "txt"}},
      {"a chain out of order",
       "a.example",
       {answer("c.example", 16, "txt"), answer("b.example", 5, "c.example"),
        answer("a.example", 5, "b.example")},
       {"txt", "c.example", "b.example"}},
      {"a CNAME loop ends the chain",
       "a.example",
       {answer("a.example", 5, "b.example"), answer("b.example", 5, "a.example"),
        answer("b.example", 16, "txt")},
       {"b.example", "a.example", "txt"}},
      {"a CNAME of another owner leads nowhere",
       "a.example",
       {answer("x.example", 5, "a.example"), answer("x.example", 16, "x"),
        answer("a.example", 16, "a")},
       {"a"}},
      {"a record named like a CNAME target but of another type",
       "a.example",
       {answer("a.example", 12, "b.example"), answer("b.example", 16, "b")},
       {"b.example"}},
  };
  for (const auto &c : cases) {
    AnswerList answers(c.answers.begin(), c.answers.end());
    keep_answers_to(c.query, answers);
    std::vector<std::string> kept;
    for (const auto &a : answers)
      kept.emplace_back(a.data);
    EXPECT_EQ(kept, c.kept) << c.what;
  }

  // A chain of 17 CNAMEs: the query name and 16 targets are followed, the
  // record at the end of the 17th is not.
  AnswerList chain;
  for (int i = 0; i < 17; ++i)
    chain.push_back(answer("n" + std::to_string(i), 5, "n" + std::to_string(i + 1)));
  chain.push_back(answer("n16", 16, "within"));
  chain.push_back(answer("n17", 16, "beyond"));
  keep_answers_to("n0", chain);
  ASSERT_EQ(chain.size(), 18u);
  EXPECT_EQ(chain.back().data, "within");
}

} // namespace
} // namespace corvane::dns
