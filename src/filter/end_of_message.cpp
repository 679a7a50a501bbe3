#include "filter/end_of_message.hpp"

#include "core/ascii.hpp"
#include "core/clock.hpp"
#include "filter/auth_results.hpp"
#include "filter/evaluate_message.hpp"
#include "filter/record_result.hpp"
#include "log/log.hpp"
#include "milter/hooks.hpp"
#include "milter/modification.hpp"

#include <new>

namespace corvane::filter {

namespace {

using log::log_message;
using log::SafeField;
using log::Severity;

struct ForgedHeader {
  std::size_t position;     // in the session's header list
  std::uint32_t occurrence; // 1-based among Authentication-Results headers
};

bool carries_forged_method(std::string_view value) noexcept {
  bool found = false;
  for_each_result(value, [&](const ResInfo &entry) {
    found = ascii_iequal(entry.method, k_forged_method);
    return !found;
  });
  return found;
}

std::pmr::vector<ForgedHeader> find_forged(const milter::MilterSession &session,
                                           const FilterSettings &settings,
                                           std::pmr::memory_resource *arena) {
  std::pmr::vector<ForgedHeader> forged(arena);
  std::uint32_t occurrence = 0;
  const auto &headers = session.message.headers;
  for (std::size_t i = 0; i < headers.size(); ++i) {
    if (!ascii_iequal(headers[i].name, k_result_header_name)) continue;
    ++occurrence;
    const std::string_view value = headers[i].value;
    if (!authserv_id_matches(value, settings.authserv_id)) continue;
    if (settings.strip_auth_results || carries_forged_method(value))
      forged.push_back({i, occurrence});
  }
  return forged;
}

void log_summary(const milter::MilterSession &session, std::optional<std::string_view> domain,
                 std::int64_t started_ns) {
  const milter::PeerDescription peer = milter::describe_peer(session);
  const std::string_view client = milter::client_address(session);
  // A clock that cannot be read gives 0, which only skews this figure.
  const std::int64_t elapsed_ms = (realtime_ns() - started_ns) / 1'000'000;
  log_message(Severity::info, "id=", SafeField{milter::text_or(session.message.queue_id, "")},
              " peer=", SafeField{peer.name}, "[", SafeField{peer.label},
              "] client=", SafeField{client.empty() ? std::string_view("unknown") : client},
              " domain=", SafeField{domain.value_or("unknown")}, " elapsed=", elapsed_ms, "ms");
}

} // namespace

void remove_forged_results(milter::MilterSession &session, const FilterSettings &settings) {
  std::pmr::memory_resource *arena = &session.message.scratch;
  const std::pmr::vector<ForgedHeader> forged = find_forged(session, settings, arena);
  if (forged.empty()) return;
  if (!milter::may_change_headers(session)) {
    log_message(Severity::err, "cannot remove ", forged.size(),
                " forged Authentication-Results header(s) claiming authserv-id ",
                settings.authserv_id, ": MTA did not grant SMFIF_CHGHDRS");
    return;
  }
  // From the last to the first, so the occurrence indexes still to be sent
  // name the same headers at the MTA.
  std::size_t removed = 0;
  auto &headers = session.message.headers;
  for (std::size_t k = forged.size(); k-- > 0;) {
    auto packet = milter::build_change_header(forged[k].occurrence, k_result_header_name, arena);
    if (!packet || !session.output.queue_reply(*packet)) continue;
    headers.erase(headers.begin() + static_cast<std::ptrdiff_t>(forged[k].position));
    ++removed;
  }
  if (removed > 0)
    log_message(Severity::info, "removed ", removed,
                " forged Authentication-Results header(s) claiming authserv-id ",
                settings.authserv_id);
}

char handle_end_of_message(milter::MilterSession &session, const FilterSettings &settings) {
  const std::int64_t started_ns = realtime_ns();
  MessageVerdict verdict;
  try {
    remove_forged_results(session, settings);
    verdict = evaluate_message(session, settings);
  } catch (const std::bad_alloc &) {
    verdict.reply = defer_message(Error::OutOfMemory);
  }
  log_summary(session, verdict.author_domain, started_ns);
  return verdict.reply;
}

} // namespace corvane::filter
