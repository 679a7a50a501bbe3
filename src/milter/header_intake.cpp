#include "milter/header_intake.hpp"

#include "log/log.hpp"

#include <new>

namespace corvane::milter {

using log::ErrorName;
using log::log_message;
using log::SafeField;
using log::Severity;

namespace {

bool exceeds_limits(const MilterSession &session, std::uint64_t size) noexcept {
  const MessageContext &message = session.message;
  const SessionLimits &limits = session.limits;
  return (limits.max_headers != 0 && message.headers.size() >= limits.max_headers) ||
         (limits.max_header_bytes != 0 && message.header_bytes + size > limits.max_header_bytes);
}

} // namespace

void take_header(MilterSession &session, std::string_view name, std::string_view value) noexcept {
  MessageContext &message = session.message;
  if (message.header_limit_reached) return;
  const std::uint64_t size = std::uint64_t{name.size()} + value.size();
  if (exceeds_limits(session, size)) {
    message.header_limit_reached = true;
    const PeerDescription peer = describe_peer(session);
    log_message(Severity::warning, "header limit reached (", message.headers.size(), " headers, ",
                message.header_bytes, " bytes) from ", SafeField{peer.name}, "[",
                SafeField{peer.label}, "]: message will not be authenticated");
    return;
  }
  try {
    message.headers.emplace_back(name, value);
  } catch (const std::bad_alloc &) {
    message.header_limit_reached = true;
    log_message(Severity::err, "header accumulation failed: ", ErrorName{Error::OutOfMemory});
    return;
  }
  message.header_bytes += size;
}

bool header_block_incomplete(const MilterSession &session) noexcept {
  if (!session.message.header_limit_reached) return false;
  const PeerDescription peer = describe_peer(session);
  log_message(Severity::warning, "tempfail: header block from ", SafeField{peer.name}, "[",
              SafeField{peer.label}, "] exceeded MaxHeaders=", session.limits.max_headers,
              "/MaxHeaderBytes=", session.limits.max_header_bytes,
              " and could not be inspected in full");
  return true;
}

} // namespace corvane::milter
