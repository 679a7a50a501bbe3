#include "dns/name.hpp"
#include "dns/query.hpp"
#include "dns/response.hpp"
#include "support/dns_packet_builder.hpp"
#include "unit/dns/limited_resource.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace corvane::dns {
namespace {

using corvane::test::LimitedResource;
using corvane::test::PacketBuilder;

std::pmr::memory_resource *heap() { return std::pmr::new_delete_resource(); }

std::string hex(std::span<const std::byte> bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (auto b : bytes) {
    const auto v = static_cast<unsigned>(b);
    if (!out.empty()) out += ' ';
    out += digits[v >> 4];
    out += digits[v & 15];
  }
  return out;
}

std::string repeat(char c, std::size_t n) { return std::string(n, c); }

// n labels of one byte each: "a.a.a..."
std::string one_byte_labels(std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i)
    out += i == 0 ? "a" : ".a";
  return out;
}

TEST(BuildQuery, DmarcQueryIsByteExact) {
  auto query = build_query(heap(), 0x1234, "_dmarc.example.org");
  ASSERT_TRUE(query);
  EXPECT_EQ(query->size(), 47u);
  EXPECT_EQ(hex(*query), "12 34 01 00 00 01 00 00 00 00 00 01 "
                         "06 5f 64 6d 61 72 63 07 65 78 61 6d 70 6c 65 03 6f 72 67 00 "
                         "00 10 00 01 "
                         "00 00 29 04 d0 00 00 00 00 00 00");
}

// The QNAME part of a query: everything between the header and QTYPE.
std::optional<std::string> qname_of(std::string_view name, Error *error) {
  auto query = build_query(heap(), 1, name);
  if (!query) {
    *error = query.error();
    return std::nullopt;
  }
  return hex(std::span<const std::byte>(*query).subspan(12, query->size() - 12 - 15));
}

TEST(BuildQuery, NameRules) {
  const std::string example = "07 65 78 61 6d 70 6c 65 03 6f 72 67 00";
  const std::string label63 = repeat('x', 63);
  const std::string name253 =
      repeat('a', 63) + "." + repeat('b', 63) + "." + repeat('c', 63) + "." + repeat('d', 61);
  struct Case {
    std::string name;
    std::optional<std::string> qname; // hex, or nullopt when the error below is expected
    Error error = Error::Unexpected;
  };
  const Case cases[] = {
      {"example.org", example},
      {"example.org.", example},
      {".example.org", example},
      {".example.org.", example},
      {"EXample.Org", "07 45 58 61 6d 70 6c 65 03 4f 72 67 00"}, // no case folding
      {"", "00"},
      {".", "00"},
      {"..", "00"}, // one leading and one trailing dot go, leaving the root
      {"...", std::nullopt, Error::EmptyLabel},
      {"..example.org", std::nullopt, Error::EmptyLabel},
      {"example..org", std::nullopt, Error::EmptyLabel},
      {"example.org..", std::nullopt, Error::EmptyLabel},
      {label63 + ".org", std::nullopt}, // checked below by length only
      {repeat('x', 64) + ".org", std::nullopt, Error::LabelTooLong},
      {name253, std::nullopt},
      {name253 + "d", std::nullopt, Error::NameTooLong},
      {name253 + ".", std::nullopt, Error::NameTooLong}, // length taken before the dot goes
      {one_byte_labels(127), std::nullopt},
      {one_byte_labels(128), std::nullopt, Error::NameTooLong},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name.substr(0, 40) + " (" + std::to_string(c.name.size()) + " bytes)");
    Error error = Error::Unexpected;
    const auto qname = qname_of(c.name, &error);
    if (c.qname) {
      ASSERT_TRUE(qname);
      EXPECT_EQ(*qname, *c.qname);
    } else if (c.error != Error::Unexpected) {
      ASSERT_FALSE(qname);
      EXPECT_EQ(error, c.error);
    } else {
      ASSERT_TRUE(qname);
      // Encoded length: one byte more than the text (first length byte) plus the zero.
      EXPECT_EQ(qname->size(), (c.name.size() + 2) * 3 - 1);
    }
  }
}

TEST(BuildQuery, OutOfMemory) {
  LimitedResource none(0);
  auto query = build_query(&none, 1, "example.org");
  ASSERT_FALSE(query);
  EXPECT_EQ(query.error(), Error::OutOfMemory);
}

struct NameCase {
  const char *what;
  PacketBuilder packet;
  std::size_t start;
  std::optional<std::string> name;
  Error error;
};

std::vector<NameCase> name_cases() {
  std::vector<NameCase> cases;
  auto add = [&](const char *what, PacketBuilder p, std::size_t start,
                 std::optional<std::string> name, Error error = Error::Unexpected) {
    cases.push_back({what, std::move(p), start, std::move(name), error});
  };
  add("plain", PacketBuilder().name("mail.example.org"), 0, "mail.example.org");
  add("root", PacketBuilder().u8(0), 0, "");
  add("case kept", PacketBuilder().name("MiXeD.Org"), 0, "MiXeD.Org");
  add("ends with the packet", PacketBuilder().u8(3).text("org"), 0, "org");
  add("pointer back", PacketBuilder().name("example.org").u8(4).text("mail").pointer(0), 13,
      "mail.example.org");
  add("pointer forward", PacketBuilder().pointer(2).name("org"), 0, "org");
  add("pointer to itself", PacketBuilder().pointer(0), 0, std::nullopt, Error::TooManyPointers);
  {
    // Ten jumps reach the name; an eleventh would be one too many.
    PacketBuilder ten;
    for (unsigned i = 0; i < 10; ++i)
      ten.pointer(2 * (i + 1));
    ten.name("org");
    add("ten jumps", ten, 0, "org");
    PacketBuilder eleven;
    for (unsigned i = 0; i < 11; ++i)
      eleven.pointer(2 * (i + 1));
    eleven.name("org");
    add("eleven jumps", eleven, 0, std::nullopt, Error::TooManyPointers);
  }
  add("pointer to the packet length", PacketBuilder().u8(0).pointer(3), 1, std::nullopt,
      Error::InvalidPointer);
  add("pointer cut in half", PacketBuilder().u8(0xC0), 0, std::nullopt, Error::PacketTooShort);
  add("label type 0x40", PacketBuilder().u8(0x40).text("abc").u8(0), 0, std::nullopt,
      Error::LabelTooLong);
  add("label type 0x80", PacketBuilder().u8(0x80).u8(0), 0, std::nullopt, Error::LabelTooLong);
  add("label past the end", PacketBuilder().u8(5).text("abc"), 0, std::nullopt,
      Error::PacketTooShort);
  add("127 labels", PacketBuilder().name(one_byte_labels(127)), 0, one_byte_labels(127));
  {
    // 128 one-byte labels: the label count is checked before the length.
    PacketBuilder p;
    for (int i = 0; i < 128; ++i)
      p.u8(1).text("a");
    p.u8(0);
    add("128 labels", p, 0, std::nullopt, Error::TooManyLabels);
  }
  const std::string name253 =
      repeat('a', 63) + "." + repeat('b', 63) + "." + repeat('c', 63) + "." + repeat('d', 61);
  add("253 bytes", PacketBuilder().name(name253), 0, name253);
  add("254 bytes", PacketBuilder().name(name253 + "d"), 0, std::nullopt, Error::NameTooLong);
  return cases;
}

TEST(ReadName, Cases) {
  for (const auto &c : name_cases()) {
    SCOPED_TRACE(c.what);
    NameText out;
    auto read = read_name(c.packet.span(), c.start, out);
    if (c.name) {
      ASSERT_TRUE(read) << error_name(read.error());
      EXPECT_EQ(out.view(), *c.name);
    } else {
      ASSERT_FALSE(read);
      EXPECT_EQ(read.error(), c.error);
    }
  }
}

TEST(SkipName, Cases) {
  struct Case {
    const char *what;
    PacketBuilder packet;
    std::optional<std::size_t> end;
    Error error;
  };
  const Case cases[] = {
      {"plain", PacketBuilder().name("example.org").u16(16), 13, Error::Unexpected},
      {"root", PacketBuilder().u8(0), 1, Error::Unexpected},
      {"pointer ends it", PacketBuilder().u8(1).text("a").pointer(40), 4, Error::Unexpected},
      {"no zero byte", PacketBuilder().u8(3).text("org"), std::nullopt, Error::PacketTooShort},
      {"empty", PacketBuilder(), std::nullopt, Error::PacketTooShort},
      {"label past the end", PacketBuilder().u8(9).text("org"), std::nullopt,
       Error::PacketTooShort},
      {"half a pointer", PacketBuilder().u8(0xC1), std::nullopt, Error::PacketTooShort},
      {"reserved type", PacketBuilder().u8(0x7F), std::nullopt, Error::LabelTooLong},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    auto end = skip_name(c.packet.span(), 0);
    if (c.end) {
      ASSERT_TRUE(end);
      EXPECT_EQ(*end, *c.end);
    } else {
      ASSERT_FALSE(end);
      EXPECT_EQ(end.error(), c.error);
    }
  }
}

// A reply header and the question for _dmarc.example.org TXT IN.
PacketBuilder reply(unsigned flags, unsigned answers, unsigned id = 0xBEEF) {
  PacketBuilder p;
  p.header(id, flags, 1, answers).name("_dmarc.example.org").u16(16).u16(1);
  return p;
}

TEST(ParseResponse, HeaderFields) {
  auto p = reply(0x8380 | 0x0003, 0); // QR, TC, RD, RA, NXDOMAIN
  auto parsed = parse_response(heap(), p.span());
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->id, 0xBEEF);
  EXPECT_EQ(parsed->rcode, 3);
  EXPECT_TRUE(parsed->truncated);
  EXPECT_TRUE(parsed->answers.empty());
}

TEST(ParseResponse, ShortPackets) {
  PacketBuilder eleven;
  eleven.header(1, 0x8180, 0, 0).raw().pop_back();
  auto parsed = parse_response(heap(), eleven.span());
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error(), Error::PacketTooShort);

  // ANCOUNT 3 and nothing after the header: no answers, no error.
  PacketBuilder header_only;
  header_only.header(1, 0x8180, 0, 3);
  parsed = parse_response(heap(), header_only.span());
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(parsed->answers.empty());

  // A question that runs past the end.
  PacketBuilder cut_question;
  cut_question.header(1, 0x8180, 1, 0).name("example.org").u16(16);
  parsed = parse_response(heap(), cut_question.span());
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error(), Error::PacketTooShort);
}

TEST(ParseResponse, AnswerData) {
  auto q = reply(0x8180, 7);
  q.pointer(12).txt(3600, {"v=DMARC1; ", "p=reject"});
  q.pointer(12).txt(300, {});
  q.pointer(12).fixed(5, 40, 2).pointer(19);
  q.pointer(12).fixed(12, 40, 4).u8(1).text("x").pointer(19);
  q.pointer(12).fixed(15, 40, 4).u16(10).pointer(19);
  q.pointer(12).fixed(1, 7, 4).bytes({192, 0, 2, 1});
  // A TXT whose second string claims more than RDLENGTH holds.
  q.pointer(12).fixed(16, 60, 9).u8(4).text("v=DM").u8(200).text("ARC");

  auto parsed = parse_response(heap(), q.span());
  ASSERT_TRUE(parsed) << error_name(parsed.error());
  const auto &a = parsed->answers;
  ASSERT_EQ(a.size(), 7u);
  for (const auto &answer : a)
    EXPECT_EQ(answer.name, "_dmarc.example.org");
  EXPECT_EQ(a[0].type, 16);
  EXPECT_EQ(a[0].ttl, 3600u);
  EXPECT_EQ(a[0].data, "v=DMARC1; p=reject");
  EXPECT_EQ(a[1].data, "");
  EXPECT_EQ(a[2].type, 5);
  EXPECT_EQ(a[2].data, "example.org");
  EXPECT_EQ(a[3].data, "x.example.org");
  EXPECT_EQ(a[4].data, "example.org");
  EXPECT_EQ(a[5].data, std::string_view("\xC0\x00\x02\x01", 4));
  EXPECT_EQ(a[6].data, "v=DM");
}

TEST(ParseResponse, CutShortAnswersAreDropped) {
  struct Case {
    const char *what;
    PacketBuilder packet;
    std::size_t answers;
  };
  auto first = [] {
    auto p = reply(0x8180, 2);
    p.pointer(12).txt(60, {"v=DMARC1; p=none"});
    return p;
  };
  std::vector<Case> cases;
  cases.push_back({"nothing after the first", first(), 1});
  {
    auto p = first();
    p.pointer(12).u16(16).u16(1).u32(60); // no RDLENGTH
    cases.push_back({"fixed fields cut", p, 1});
  }
  {
    auto p = first();
    p.pointer(12).fixed(16, 60, 50).u8(3).text("abc");
    cases.push_back({"rdata beyond the packet", p, 1});
  }
  {
    auto p = reply(0x8180, 1);
    p.pointer(12).u16(16);
    cases.push_back({"only answer cut", p, 0});
  }
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    auto parsed = parse_response(heap(), c.packet.span());
    ASSERT_TRUE(parsed) << error_name(parsed.error());
    EXPECT_EQ(parsed->answers.size(), c.answers);
  }
}

TEST(ParseResponse, NameErrorsEndTheParse) {
  struct Case {
    const char *what;
    PacketBuilder packet;
    Error error;
  };
  std::vector<Case> cases;
  {
    auto p = reply(0x8180, 1);
    p.u8(0x40).text("x").u8(0).fixed(16, 1, 0);
    cases.push_back({"owner label type 0x40", p, Error::LabelTooLong});
  }
  {
    auto p = reply(0x8180, 1);
    const unsigned self = static_cast<unsigned>(p.size());
    p.pointer(self).fixed(16, 1, 0);
    cases.push_back({"owner pointer loop", p, Error::TooManyPointers});
  }
  {
    auto p = reply(0x8180, 1);
    p.pointer(12).fixed(5, 1, 2).pointer(4000);
    cases.push_back({"cname pointer out of the packet", p, Error::InvalidPointer});
  }
  {
    auto p = reply(0x8180, 1);
    p.pointer(12).fixed(15, 1, 2).u16(10);
    cases.push_back({"mx rdata under 3 bytes", p, Error::PacketTooShort});
  }
  {
    PacketBuilder p;
    p.header(1, 0x8180, 1, 0).u8(0x80).u16(16).u16(1);
    cases.push_back({"question label type", p, Error::LabelTooLong});
  }
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    auto parsed = parse_response(heap(), c.packet.span());
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error(), c.error);
  }
}

TEST(ParseResponse, OutOfMemoryLeavesNothingAllocated) {
  auto p = reply(0x8180, 2);
  p.pointer(12).txt(60, {std::string(100, 'a')});
  p.pointer(12).txt(60, {std::string(100, 'b')});
  bool succeeded = false;
  for (long allowed = 0; !succeeded; ++allowed) {
    LimitedResource limited(allowed);
    {
      auto parsed = parse_response(&limited, p.span());
      succeeded = parsed.has_value();
      if (!succeeded) {
        EXPECT_EQ(parsed.error(), Error::OutOfMemory);
      }
    }
    EXPECT_EQ(limited.outstanding(), 0);
    ASSERT_LT(allowed, 100);
  }
}

} // namespace
} // namespace corvane::dns
