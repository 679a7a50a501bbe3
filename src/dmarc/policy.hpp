#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane::dmarc {

// A record's p, sp and np values, the requested and effective policy, and the
// action a listener may take.
enum class PolicyAction : std::uint8_t { none = 0, quarantine = 1, reject = 2 };

enum class DmarcResult : std::uint8_t {
  pass = 0,
  fail = 1,
  temperror = 2,
  permerror = 3,
  none = 4
};

std::string_view policy_word(PolicyAction action) noexcept;
std::string_view result_word(DmarcResult result) noexcept;

// "none", "quarantine" or "reject", compared without regard to case.
std::optional<PolicyAction> parse_policy_word(std::string_view text) noexcept;

// reject -> quarantine, quarantine -> none, none stays none.
constexpr PolicyAction step_down(PolicyAction action) noexcept {
  return action == PolicyAction::reject ? PolicyAction::quarantine : PolicyAction::none;
}

} // namespace corvane::dmarc
