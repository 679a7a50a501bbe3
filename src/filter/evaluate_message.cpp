#include "filter/evaluate_message.hpp"

#include "core/ascii.hpp"
#include "core/clock.hpp"
#include "dmarc/evaluation.hpp"
#include "filter/enforcement.hpp"
#include "filter/identities.hpp"
#include "filter/record_result.hpp"
#include "filter/sealer_vouching.hpp"
#include "filter/upstream_results.hpp"

namespace corvane::filter {

namespace {

using dmarc::DmarcResult;
using dmarc::PolicyAction;

constexpr std::string_view k_comment_multiple_from_headers = "multiple From header fields";
constexpr std::string_view k_comment_no_from = "no From header";
constexpr std::string_view k_method = "dmarc";

std::size_t count_named(std::span<const milter::HeaderField> headers, std::string_view name) {
  std::size_t count = 0;
  for (const auto &header : headers)
    if (ascii_iequal(header.name, name)) ++count;
  return count;
}

// The sampling key: the one Message-ID, trimmed; none when there are several.
std::optional<std::string_view> message_id(std::span<const milter::HeaderField> headers) {
  std::optional<std::string_view> found;
  for (const auto &header : headers) {
    if (!ascii_iequal(header.name, "Message-ID")) continue;
    if (found) return std::nullopt;
    found = trim(header.value);
  }
  return found;
}

// An outcome reached before or instead of a full evaluation: the result word
// with the reason as comment, and the message goes on.
char record_early(milter::MilterSession &session, const FilterSettings &settings,
                  DmarcResult result, std::string_view reason) {
  const ResultEntry entry{k_method, dmarc::result_word(result), reason, {}};
  auto recorded = record_dmarc_result(session, settings.authserv_id, entry);
  return recorded ? 'c' : defer_message(recorded.error());
}

PolicyAction listener_enforcement(const FilterSettings &settings, std::uint64_t index) noexcept {
  return index < settings.enforcement.size() ? settings.enforcement[index] : PolicyAction::none;
}

void publish(const FilterSettings &settings, milter::MilterSession &session,
             const AuthorAddress &author, const dmarc::IdentifierResult &spf,
             const UpstreamResults &upstream, const dmarc::EvaluationResult &result, bool vouched) {
  if (settings.publish == nullptr) return;
  events::EvaluationEvent event;
  event.client_ip = milter::client_address(session);
  event.header_from = author.domain.value_or("");
  event.from_address = author.address.value_or("");
  event.envelope_from = spf.domain.value_or("");
  event.policy = dmarc::policy_word(result.requested_policy);
  event.disposition = dmarc::policy_word(result.effective_policy);
  event.dmarc_result = dmarc::result_word(result.result);
  event.spf_result = upstream.spf_result.value_or("none");
  event.spf_aligned = result.spf_aligned;
  event.dkim_result = "none";
  if (result.dkim_reported) {
    event.dkim_result = result.dkim_reported->result.value_or("none");
    event.dkim_domain = result.dkim_reported->domain.value_or("");
  }
  event.dkim_aligned = result.dkim_selected.has_value();
  event.policy_override = vouched;
  settings.publish(event, &session.message.scratch);
}

// After a full evaluation: the verdict with the effective policy, the
// Author Domain as header.from, then the event and the listener's action.
char conclude(milter::MilterSession &session, const FilterSettings &settings,
              const AuthorAddress &author, const dmarc::IdentifierResult &spf,
              const UpstreamResults &upstream, const dmarc::EvaluationResult &result) {
  std::pmr::memory_resource *arena = &session.message.scratch;
  const std::string_view author_domain = *author.domain;
  std::pmr::string comment("p=", arena);
  comment += dmarc::policy_word(result.effective_policy);
  const ResultProperty header_from{"header", "from", author_domain};
  const ResultEntry entry{k_method, dmarc::result_word(result.result), comment,
                          std::span(&header_from, 1)};
  if (auto recorded = record_dmarc_result(session, settings.authserv_id, entry); !recorded)
    return defer_message(recorded.error());

  const PolicyAction enforcement = listener_enforcement(settings, session.listener_index);
  std::optional<std::pmr::string> sealer;
  if (result.result == DmarcResult::fail && enforcement == PolicyAction::reject &&
      settings.sealers != nullptr)
    sealer = trusted_sealer_vouches(session.message.headers, author_domain, upstream.arc_result,
                                    *settings.sealers, arena);
  publish(settings, session, author, spf, upstream, result, sealer.has_value());
  return apply_enforcement(session, settings,
                           {author_domain, result.result, result.effective_policy, enforcement,
                            sealer ? std::optional<std::string_view>(*sealer) : std::nullopt});
}

} // namespace

MessageVerdict evaluate_message(milter::MilterSession &session, const FilterSettings &settings) {
  std::pmr::memory_resource *arena = &session.message.scratch;
  const auto &headers = session.message.headers;
  MessageVerdict verdict;
  if (count_named(headers, "From") >= 2) {
    verdict.reply =
        record_early(session, settings, DmarcResult::fail, k_comment_multiple_from_headers);
    return verdict;
  }
  AuthorAddress author(arena);
  if (auto parsed = author_address(headers, author); !parsed) {
    verdict.reply = defer_message(parsed.error());
    return verdict;
  }
  verdict.author_domain = author.domain;
  // One header naming several authors is judged like several headers: mail
  // programs may show the first while the domain would be the last.
  if (author.multiple_addresses) {
    verdict.reply =
        record_early(session, settings, DmarcResult::fail, k_comment_multiple_from_addresses);
    return verdict;
  }
  if (!author.domain) {
    verdict.reply = record_early(session, settings, DmarcResult::none, k_comment_no_from);
    return verdict;
  }

  const UpstreamResults upstream = collect_upstream_results(headers, settings.authserv_id, arena);
  dmarc::IdentifierResult spf;
  const milter::OptionalText &sender = session.message.envelope_sender;
  spf.domain = mail_from_domain(sender ? std::optional<std::string_view>(*sender) : std::nullopt);
  spf.result = upstream.spf_result;

  dmarc::EvaluationRequest request;
  request.author_domain = *author.domain;
  request.spf = spf;
  request.dkim = upstream.dkim;
  request.deadline_ms = deadline_after(realtime_ms(), settings.max_evaluation_ms);
  request.resolver = &settings.resolver();
  request.message_id = message_id(headers);
  request.apply_pct = settings.apply_pct;
  request.psl = settings.public_suffix_list;
  request.allocator = arena;
  const dmarc::EvaluationResult result = dmarc::evaluate(request);
  if (!result.full) {
    verdict.reply = record_early(session, settings, result.result,
                                 result.reason.value_or(dmarc::k_reason_internal_error));
    return verdict;
  }
  verdict.reply = conclude(session, settings, author, spf, upstream, result);
  return verdict;
}

} // namespace corvane::filter
