#include "dmarc/record.hpp"

#include "core/ascii.hpp"
#include "core/number.hpp"

namespace corvane::dmarc {

namespace {

constexpr std::string_view k_version = "DMARC1";

// "v=DMARC1" with an upper-case marker, followed by the end, ";", SP or TAB.
bool has_version_marker(std::string_view text) noexcept {
  if (text.size() < 8) return false;
  if ((text[0] != 'v' && text[0] != 'V') || text[1] != '=') return false;
  if (text.substr(2, k_version.size()) != k_version) return false;
  return text.size() == 8 || text[8] == ';' || text[8] == ' ' || text[8] == '\t';
}

std::string_view skip_leading_separators(std::string_view text) noexcept {
  std::size_t start = 0;
  while (start < text.size() && (text[start] == ';' || text[start] == ' ' || text[start] == '\t'))
    ++start;
  return text.substr(start);
}

// Exactly "s" or "S" is strict; every other value, valid or not, is relaxed.
bool is_strict_mode(std::string_view value) noexcept {
  return value.size() == 1 && ascii_lower(value[0]) == 's';
}

PsdFlag read_psd(std::string_view value) noexcept {
  if (ascii_iequal(value, "y")) return PsdFlag::y;
  if (ascii_iequal(value, "n")) return PsdFlag::n;
  return PsdFlag::absent;
}

// sp and np: a value that is not a policy word spoils the record's policy,
// and stays remembered even if a later tag of the same name is valid.
void apply_subdomain_policy(DmarcRecord &record, std::string_view value, PolicyAction &action,
                            bool &present) noexcept {
  if (const auto parsed = parse_policy_word(value)) {
    action = *parsed;
    present = true;
  } else {
    record.policy_tag_invalid = true;
  }
}

void apply_tag(DmarcRecord &record, std::string_view name, std::string_view value) {
  if (ascii_iequal(name, "p")) {
    // An invalid p leaves an earlier valid one in place.
    if (const auto action = parse_policy_word(value)) {
      record.p = *action;
      record.p_present = true;
    }
  } else if (ascii_iequal(name, "sp")) {
    apply_subdomain_policy(record, value, record.sp, record.sp_present);
  } else if (ascii_iequal(name, "np")) {
    apply_subdomain_policy(record, value, record.np, record.np_present);
  } else if (ascii_iequal(name, "adkim")) {
    record.adkim_strict = is_strict_mode(value);
  } else if (ascii_iequal(name, "aspf")) {
    record.aspf_strict = is_strict_mode(value);
  } else if (ascii_iequal(name, "t")) {
    record.testing = ascii_iequal(value, "y");
  } else if (ascii_iequal(name, "pct")) {
    if (const auto pct = read_u8(value); pct && *pct <= 100) record.pct = *pct;
  } else if (ascii_iequal(name, "rua")) {
    record.rua = value;
    record.rua_valid = rua_is_valid(value);
  } else if (ascii_iequal(name, "ruf")) {
    record.ruf = value;
  } else if (ascii_iequal(name, "fo")) {
    record.fo = value;
  } else if (ascii_iequal(name, "psd")) {
    record.psd = read_psd(value);
  }
}

void apply_piece(DmarcRecord &record, std::string_view piece) {
  const auto equals = piece.find('=');
  if (equals == std::string_view::npos) return;
  apply_tag(record, trim(piece.substr(0, equals)), trim(piece.substr(equals + 1)));
}

bool is_scheme_byte(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '-' || c == '.';
}

bool is_uri(std::string_view element) noexcept {
  element = trim(element);
  element = element.substr(0, element.find('!'));
  const auto colon = element.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon + 1 == element.size()) return false;
  const char first = element[0];
  if (!((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z'))) return false;
  for (std::size_t i = 1; i < colon; ++i)
    if (!is_scheme_byte(element[i])) return false;
  return true;
}

} // namespace

std::optional<DmarcRecord> parse_dmarc_record(std::string_view text,
                                              std::pmr::memory_resource *allocator) {
  text = trim(text);
  if (!has_version_marker(text)) return std::nullopt;
  DmarcRecord record(allocator);
  std::string_view rest = skip_leading_separators(text.substr(8));
  while (!rest.empty()) {
    const auto semicolon = rest.find(';');
    const std::string_view piece = trim(rest.substr(0, semicolon));
    if (!piece.empty()) apply_piece(record, piece);
    if (semicolon == std::string_view::npos) break;
    rest.remove_prefix(semicolon + 1);
  }
  return record;
}

std::optional<DmarcRecord> select_dmarc_record(const dns::AnswerList &answers,
                                               std::pmr::memory_resource *allocator) {
  std::optional<DmarcRecord> selected;
  for (const auto &answer : answers) {
    if (answer.type != dns::k_type_txt) continue;
    auto record = parse_dmarc_record(answer.data, allocator);
    if (!record) continue;
    // A name that publishes several records has none.
    if (selected) return std::nullopt;
    selected.emplace(std::move(*record));
  }
  return selected;
}

bool rua_is_valid(std::string_view value) noexcept {
  while (true) {
    const auto comma = value.find(',');
    if (is_uri(value.substr(0, comma))) return true;
    if (comma == std::string_view::npos) return false;
    value.remove_prefix(comma + 1);
  }
}

} // namespace corvane::dmarc
