#include "filter/record_result.hpp"

#include "log/log.hpp"
#include "milter/modification.hpp"

namespace corvane::filter {

Result<void> record_dmarc_result(milter::MilterSession &session, std::string_view authserv_id,
                                 const ResultEntry &entry) {
  std::pmr::memory_resource *arena = &session.message.scratch;
  auto value = compose_result_value(authserv_id, entry, arena);
  if (!value) return value.error();
  auto packet = milter::build_insert_header(k_result_header_name, *value, arena);
  if (!packet) return packet.error();
  return session.output.queue_reply(*packet);
}

char defer_message(Error error) noexcept {
  log::log_message(log::Severity::err, "deferring: could not record the dmarc result (",
                   error_name(error),
                   "); delivering without it would misrepresent what was checked");
  return 't';
}

} // namespace corvane::filter
