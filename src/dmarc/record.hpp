#pragma once

#include "dmarc/policy.hpp"
#include "dns/answer.hpp"

#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::dmarc {

// The psd tag: "y", "n", or anything else (absent).
enum class PsdFlag : std::uint8_t { y = 0, n = 1, absent = 2 };

// The tags of one DMARC record. The three texts are copies owned by the
// record's allocator, never views into the DNS answer, which goes away before
// the tree walk moves on.
struct DmarcRecord {
  explicit DmarcRecord(std::pmr::memory_resource *allocator = std::pmr::get_default_resource())
      : rua(allocator), ruf(allocator), fo("0", allocator) {}

  std::pmr::string rua;
  std::pmr::string ruf;
  std::pmr::string fo;
  PolicyAction p = PolicyAction::none;
  PolicyAction sp = PolicyAction::none;
  bool sp_present = false;
  bool adkim_strict = false;
  bool aspf_strict = false;
  bool testing = false;
  std::uint8_t pct = 100;
  PsdFlag psd = PsdFlag::absent;
  PolicyAction np = PolicyAction::none;
  bool np_present = false;
  bool p_present = false;
  // An sp or np tag carried something other than a policy word; the record
  // then has no usable policy, whatever a later tag says.
  bool policy_tag_invalid = false;
  bool rua_valid = false;
};

// One TXT text: the record it spells, or nothing when it is not a DMARC
// record. Throws std::bad_alloc when the texts cannot be copied.
std::optional<DmarcRecord> parse_dmarc_record(std::string_view text,
                                              std::pmr::memory_resource *allocator);

// The one DMARC record among the answers of one TXT lookup; nothing when there
// is none or more than one. Throws std::bad_alloc.
std::optional<DmarcRecord> select_dmarc_record(const dns::AnswerList &answers,
                                               std::pmr::memory_resource *allocator);

// True when at least one comma-separated element looks like a URI:
// scheme ":" something, the size suffix after "!" ignored.
bool rua_is_valid(std::string_view value) noexcept;

} // namespace corvane::dmarc
