#include "milter/reply.hpp"

#include "log/log.hpp"
#include "milter/connection_owner.hpp"

namespace corvane::milter {

using log::log_message;
using log::Severity;

bool send_reply(ConnectionOwner &owner, MilterSession &session, std::string_view bytes) noexcept {
  if (auto queued = session.output.queue_reply(bytes); !queued) {
    report_reply_failure(session, queued.error());
    owner.close_connection(session.socket);
    return false;
  }
  return flush_replies(owner, session);
}

bool send_reply_byte(ConnectionOwner &owner, MilterSession &session, char code) noexcept {
  return send_reply(owner, session, std::string_view(&code, 1));
}

bool flush_replies(ConnectionOwner &owner, MilterSession &session) noexcept {
  const OutputQueue::FlushResult flushed = session.output.write_to(session.socket);
  switch (flushed.outcome) {
  case OutputQueue::Flush::done: return true;
  case OutputQueue::Flush::would_block:
    if (!session.write_pending) {
      session.write_pending = true;
      owner.queue_write_interest(session.socket);
      const PeerDescription peer = describe_peer(session);
      log_message(Severity::info, "holding ", session.output.unwritten(), " bytes of replies for ",
                  peer.name, "[", peer.label, "]: peer is not reading, will resume when it does");
    }
    return true;
  case OutputQueue::Flush::failed: break;
  }
  report_reply_failure(session, flushed.error);
  owner.close_connection(session.socket);
  return false;
}

void report_reply_failure(const MilterSession &session, Error error) noexcept {
  const PeerDescription peer = describe_peer(session);
  if (error == Error::OutputQueueFull)
    log_message(Severity::warning, "dropping connection from ", peer.name, "[", peer.label,
                "]: ", session.output.unwritten(), " bytes of replies unread, output queue full");
  else
    log_message(Severity::debug, "dropping connection from ", peer.name, "[", peer.label,
                "]: reply write failed: ", error_name(error));
}

} // namespace corvane::milter
