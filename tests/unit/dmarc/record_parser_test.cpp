#include "dmarc/record.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane::dmarc {
namespace {

std::optional<DmarcRecord> parse(std::string_view text) {
  return parse_dmarc_record(text, std::pmr::get_default_resource());
}

TEST(RecordRecognition, VersionMarkerMustBeExact) {
  struct Case {
    std::string_view text;
    bool is_record;
  };
  const Case cases[] = {
      {"v=DMARC1", true},
      {"v=DMARC1; p=none", true},
      {"V=DMARC1 p=none", true},
      {"v=DMARC1\tp=none", true},
      {" \t\r\nv=DMARC1;p=none\v\f", true},
      {"v=dmarc1; p=none", false},
      {"v = DMARC1; p=none", false},
      {"v=DMARC1p=none", false},
      {"v=DMARC10; p=none", false},
      {"v=DMARC", false},
      {"", false},
      {"v=spf1 -all", false},
      {"x=DMARC1; p=none", false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(parse(c.text).has_value(), c.is_record) << c.text;
}

TEST(RecordParsing, VersionAloneHasEveryDefault) {
  const auto record = parse("v=DMARC1");
  ASSERT_TRUE(record);
  EXPECT_FALSE(record->p_present);
  EXPECT_EQ(record->p, PolicyAction::none);
  EXPECT_EQ(record->pct, 100);
  EXPECT_EQ(record->fo, "0");
  EXPECT_EQ(record->psd, PsdFlag::absent);
  EXPECT_TRUE(record->rua.empty());
  EXPECT_FALSE(record->rua_valid);
  EXPECT_FALSE(record->sp_present);
  EXPECT_FALSE(record->np_present);
  EXPECT_FALSE(record->policy_tag_invalid);
  EXPECT_FALSE(record->adkim_strict);
  EXPECT_FALSE(record->aspf_strict);
  EXPECT_FALSE(record->testing);
}

TEST(RecordParsing, PolicyTags) {
  struct Case {
    std::string_view text;
    PolicyAction p;
    bool p_present;
    PolicyAction sp;
    bool sp_present;
    bool invalid;
  };
  using enum PolicyAction;
  const Case cases[] = {
      {"  v=DMARC1;p=reject  ", reject, true, none, false, false},
      {"v=DMARC1; p=REJECT; SP=Quarantine", reject, true, quarantine, true, false},
      {"v=DMARC1; p=bogus; p=none", none, true, none, false, false},
      {"v=DMARC1; p=quarantine; p=bogus", quarantine, true, none, false, false},
      {"v=DMARC1; p=bogus", none, false, none, false, false},
      {"v=DMARC1; p=none; sp=bogus", none, true, none, false, true},
      {"v=DMARC1; p=none; np=", none, true, none, false, true},
      // An invalid sp stays remembered after a valid one.
      {"v=DMARC1; p=none; sp=junk; sp=reject", none, true, reject, true, true},
      {"v=DMARC1;;; p=none ;; =x; junk", none, true, none, false, false},
      {"v=DMARC1; P = reject ; p", reject, true, none, false, false},
  };
  for (const auto &c : cases) {
    const auto record = parse(c.text);
    ASSERT_TRUE(record) << c.text;
    EXPECT_EQ(record->p, c.p) << c.text;
    EXPECT_EQ(record->p_present, c.p_present) << c.text;
    EXPECT_EQ(record->sp, c.sp) << c.text;
    EXPECT_EQ(record->sp_present, c.sp_present) << c.text;
    EXPECT_EQ(record->policy_tag_invalid, c.invalid) << c.text;
  }
}

TEST(RecordParsing, NpTag) {
  const auto record = parse("v=DMARC1; p=none; np=Reject");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->np, PolicyAction::reject);
  EXPECT_TRUE(record->np_present);
  EXPECT_FALSE(record->policy_tag_invalid);
}

TEST(RecordParsing, PctReadsThroughTheDecimalRules) {
  struct Case {
    std::string_view tag;
    int pct;
  };
  const Case cases[] = {{"pct=150", 100}, {"pct=0", 0},    {"pct=+5", 5},   {"pct=1_0", 10},
                        {"pct=-1", 100},  {"pct=", 100},   {"pct=-0", 0},   {"pct=100", 100},
                        {"pct=101", 100}, {"pct=_5", 100}, {"pct=5_", 100}, {"pct=256", 100},
                        {"pct=50", 50},   {"pct= 7 ", 7},  {"pct=5x", 100}};
  for (const auto &c : cases) {
    const auto record = parse(std::string("v=DMARC1; p=none; ") + std::string(c.tag));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->pct, c.pct) << c.tag;
  }
  // A bad value leaves an earlier good one.
  EXPECT_EQ(parse("v=DMARC1; pct=20; pct=900")->pct, 20);
}

TEST(RecordParsing, FlagTags) {
  struct Case {
    std::string_view tag;
    bool adkim_strict, aspf_strict, testing;
    PsdFlag psd;
  };
  const Case cases[] = {
      {"adkim=x", false, false, false, PsdFlag::absent},
      {"adkim=S", true, false, false, PsdFlag::absent},
      {"adkim=ss", false, false, false, PsdFlag::absent},
      {"adkim=s; adkim=r", false, false, false, PsdFlag::absent},
      {"aspf=s", false, true, false, PsdFlag::absent},
      {"aspf=", false, false, false, PsdFlag::absent},
      {"t=Y", false, false, true, PsdFlag::absent},
      {"t=y; t=n", false, false, false, PsdFlag::absent},
      {"t=yes", false, false, false, PsdFlag::absent},
      {"psd=y", false, false, false, PsdFlag::y},
      {"psd=N", false, false, false, PsdFlag::n},
      {"psd=u", false, false, false, PsdFlag::absent},
      {"psd=y; psd=maybe", false, false, false, PsdFlag::absent},
  };
  for (const auto &c : cases) {
    const auto record = parse(std::string("v=DMARC1; p=none; ") + std::string(c.tag));
    ASSERT_TRUE(record);
    EXPECT_EQ(record->adkim_strict, c.adkim_strict) << c.tag;
    EXPECT_EQ(record->aspf_strict, c.aspf_strict) << c.tag;
    EXPECT_EQ(record->testing, c.testing) << c.tag;
    EXPECT_EQ(record->psd, c.psd) << c.tag;
  }
}

TEST(RecordParsing, TextTagsAreCopiedAsWritten) {
  std::string text = "v=DMARC1; p=none; rua=mailto:a@example.com,mailto:b@example.com; "
                     "ruf = mailto:f@example.com ; fo=1:d; x=y=z";
  const auto record = parse(text);
  text.assign(text.size(), '#'); // the record must not point into the answer
  ASSERT_TRUE(record);
  EXPECT_EQ(record->rua, "mailto:a@example.com,mailto:b@example.com");
  EXPECT_TRUE(record->rua_valid);
  EXPECT_EQ(record->ruf, "mailto:f@example.com");
  EXPECT_EQ(record->fo, "1:d");
}

TEST(RecordParsing, LastRuaDecidesValidity) {
  EXPECT_FALSE(parse("v=DMARC1; rua=mailto:x; rua=reports")->rua_valid);
  EXPECT_TRUE(parse("v=DMARC1; rua=reports; rua=mailto:x")->rua_valid);
}

TEST(RuaValidity, Elements) {
  struct Case {
    std::string_view value;
    bool valid;
  };
  const Case cases[] = {
      {"mailto:reports!10m", true},
      {"reports", false},
      {"bad, mailto:reports", true},
      {"1mailto:x", false},
      {"mailto:", false},
      {"ftp:reports", true},
      {"mailto", false},
      {":x", false},
      {"", false},
      {" mailto:x ", true},
      {"mailto!:x", false},
      {"a+b-c.d:x", true},
      {"a_b:x", false},
      {",,,", false},
      {"mailto:x!", true},
      {"!mailto:x", false},
      {"x:y,", true},
      {"\tm:1\n", true},
  };
  for (const auto &c : cases)
    EXPECT_EQ(rua_is_valid(c.value), c.valid) << c.value;
}

TEST(PolicyWords, WholeWordWithoutCase) {
  EXPECT_EQ(parse_policy_word("NONE"), PolicyAction::none);
  EXPECT_EQ(parse_policy_word("Quarantine"), PolicyAction::quarantine);
  EXPECT_EQ(parse_policy_word("reject"), PolicyAction::reject);
  EXPECT_FALSE(parse_policy_word("rejec"));
  EXPECT_FALSE(parse_policy_word("rejects"));
  EXPECT_FALSE(parse_policy_word(""));
}

dns::AnswerList answers(std::vector<std::pair<std::uint16_t, std::string>> records) {
  dns::AnswerList list;
  for (auto &[type, data] : records) {
    auto &answer = list.emplace_back();
    answer.type = type;
    answer.data = data;
  }
  return list;
}

TEST(RecordSelection, ExactlyOneRecordPerName) {
  const auto selected = [](std::vector<std::pair<std::uint16_t, std::string>> records) {
    return select_dmarc_record(answers(std::move(records)), std::pmr::get_default_resource());
  };
  EXPECT_FALSE(selected({{16, "v=DMARC1; p=none"}, {16, "v=DMARC1; p=reject"}}));
  EXPECT_FALSE(selected({}));
  EXPECT_FALSE(selected({{16, "v=spf1 -all"}}));
  const auto beside_spf = selected({{16, "v=spf1 -all"}, {16, "v=DMARC1; p=reject"}});
  ASSERT_TRUE(beside_spf);
  EXPECT_EQ(beside_spf->p, PolicyAction::reject);
  // A CNAME before its target's TXT answer is passed over.
  const auto after_cname = selected({{5, "v=DMARC1; p=none"}, {16, "v=DMARC1; p=quarantine"}});
  ASSERT_TRUE(after_cname);
  EXPECT_EQ(after_cname->p, PolicyAction::quarantine);
}

} // namespace
} // namespace corvane::dmarc
