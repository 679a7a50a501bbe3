#pragma once

#include "dmarc/policy.hpp"
#include "filter/filter_settings.hpp"
#include "milter/session.hpp"

#include <optional>
#include <string_view>

namespace corvane::filter {

struct Verdict {
  std::string_view author_domain;
  dmarc::DmarcResult result = dmarc::DmarcResult::none;
  dmarc::PolicyAction effective_policy = dmarc::PolicyAction::none;
  dmarc::PolicyAction enforcement = dmarc::PolicyAction::none; // the listener's
  std::optional<std::string_view> sealer;                      // a trusted ARC sealer that vouched
};

// What a failing message gets under the listener's Enforcement: nothing, a
// quarantine tag (forged tags removed first), or a rejection at SMTP time. A
// trusted sealer's voucher turns a rejection into a quarantine. Returns 'c',
// 't' (deferred: the tag or rejection could not be queued) or
// milter::k_final_reply_queued (the reply-code packet is queued and is the
// whole answer to end of message).
char apply_enforcement(milter::MilterSession &session, const FilterSettings &settings,
                       const Verdict &verdict);

// The action itself, from the effective policy and the enforcement.
dmarc::PolicyAction enforcement_action(const Verdict &verdict) noexcept;

} // namespace corvane::filter
