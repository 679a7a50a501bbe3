#include "dmarc/policy.hpp"

#include "core/ascii.hpp"

namespace corvane::dmarc {

std::string_view policy_word(PolicyAction action) noexcept {
  switch (action) {
  case PolicyAction::none: return "none";
  case PolicyAction::quarantine: return "quarantine";
  case PolicyAction::reject: return "reject";
  }
  return "none";
}

std::string_view result_word(DmarcResult result) noexcept {
  switch (result) {
  case DmarcResult::pass: return "pass";
  case DmarcResult::fail: return "fail";
  case DmarcResult::temperror: return "temperror";
  case DmarcResult::permerror: return "permerror";
  case DmarcResult::none: return "none";
  }
  return "none";
}

std::optional<PolicyAction> parse_policy_word(std::string_view text) noexcept {
  for (const auto action : {PolicyAction::none, PolicyAction::quarantine, PolicyAction::reject})
    if (ascii_iequal(text, policy_word(action))) return action;
  return std::nullopt;
}

} // namespace corvane::dmarc
