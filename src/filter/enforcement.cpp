#include "filter/enforcement.hpp"

#include "core/ascii.hpp"
#include "filter/record_result.hpp"
#include "filter/rejection_text.hpp"
#include "log/log.hpp"
#include "milter/hooks.hpp"
#include "milter/modification.hpp"

#include <vector>

namespace corvane::filter {

namespace {

using dmarc::PolicyAction;
using log::log_message;
using log::Severity;

constexpr std::string_view k_smtp_rejection = "550 5.7.1 ";
constexpr std::string_view k_quarantine_value = "quarantine";

// A tag already in the message did not come from us: whoever set it wants the
// delivery agent to act on it. Deleted from the last to the first, so the
// occurrence indexes not yet used stay valid.
Result<void> remove_forged_tags(milter::MilterSession &session, std::string_view tag) {
  auto &headers = session.message.headers;
  std::pmr::memory_resource *arena = &session.message.scratch;
  std::pmr::vector<std::size_t> positions(arena);
  for (std::size_t i = 0; i < headers.size(); ++i)
    if (ascii_iequal(headers[i].name, tag)) positions.push_back(i);
  if (positions.empty()) return {};
  if (!milter::may_change_headers(session)) {
    log_message(Severity::err, "cannot tag for quarantine: forged ", tag,
                " present and MTA did not grant SMFIF_CHGHDRS");
    return Error::CannotTag;
  }
  for (std::size_t k = positions.size(); k-- > 0;) {
    auto packet = milter::build_change_header(static_cast<std::uint32_t>(k + 1), tag, arena);
    if (!packet) return packet.error();
    if (auto queued = session.output.queue_reply(*packet); !queued) return queued.error();
    headers.erase(headers.begin() + static_cast<std::ptrdiff_t>(positions[k]));
  }
  return {};
}

char quarantine(milter::MilterSession &session, const FilterSettings &settings,
                const Verdict &verdict) {
  const std::string_view tag = settings.quarantine_header;
  if (auto removed = remove_forged_tags(session, tag); !removed)
    return defer_message(removed.error());
  auto packet = milter::build_insert_header(tag, k_quarantine_value, &session.message.scratch);
  if (!packet) return defer_message(packet.error());
  if (auto queued = session.output.queue_reply(*packet); !queued)
    return defer_message(queued.error());
  // Only a rejection can be downgraded: a vouched message under p=quarantine
  // is tagged as any other.
  if (verdict.sealer && verdict.effective_policy == PolicyAction::reject)
    log_message(Severity::info, "dmarc: ", verdict.author_domain,
                ": fail under p=reject downgraded to quarantine by trusted ARC sealer ",
                *verdict.sealer);
  else
    log_message(Severity::info, "dmarc: ", verdict.author_domain,
                ": fail under p=", dmarc::policy_word(verdict.effective_policy), ", tagged ", tag,
                " for the LDA");
  return 'c';
}

// The reply-code packet is the MTA's complete answer to end of message: no
// reply byte may follow it, or the MTA would read that byte as the answer to
// its next command.
char reject(milter::MilterSession &session, const FilterSettings &settings,
            const Verdict &verdict) {
  log_message(Severity::info, "dmarc: ", verdict.author_domain,
              ": fail under p=reject, rejecting at SMTP time");
  std::pmr::memory_resource *arena = &session.message.scratch;
  auto text = rejection_text(settings.reject_text, verdict.author_domain, arena);
  if (!text) return defer_message(text.error());
  auto packet = catch_out_of_memory([&]() -> Result<std::pmr::string> {
    std::pmr::string bytes("y", arena);
    bytes += k_smtp_rejection;
    bytes += *text;
    bytes.push_back('\0');
    return bytes;
  });
  if (!packet) return defer_message(packet.error());
  if (auto queued = session.output.queue_reply(*packet); !queued)
    return defer_message(queued.error());
  return milter::k_final_reply_queued;
}

} // namespace

PolicyAction enforcement_action(const Verdict &verdict) noexcept {
  if (verdict.result != dmarc::DmarcResult::fail) return PolicyAction::none;
  if (verdict.effective_policy == PolicyAction::none || verdict.enforcement == PolicyAction::none)
    return PolicyAction::none;
  if (verdict.effective_policy == PolicyAction::quarantine ||
      verdict.enforcement == PolicyAction::quarantine || verdict.sealer)
    return PolicyAction::quarantine;
  return PolicyAction::reject;
}

char apply_enforcement(milter::MilterSession &session, const FilterSettings &settings,
                       const Verdict &verdict) {
  switch (enforcement_action(verdict)) {
  case PolicyAction::none: return 'c';
  case PolicyAction::quarantine: return quarantine(session, settings, verdict);
  case PolicyAction::reject: return reject(session, settings, verdict);
  }
  return 'c';
}

} // namespace corvane::filter
