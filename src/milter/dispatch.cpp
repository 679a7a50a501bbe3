#include "milter/dispatch.hpp"

#include "core/big_endian.hpp"
#include "milter/connection_owner.hpp"
#include "milter/header_intake.hpp"
#include "milter/hooks.hpp"
#include "milter/packet.hpp"
#include "milter/reply.hpp"

#include <array>
#include <new>

namespace corvane::milter {

namespace {

constexpr std::size_t k_negotiation_bytes = 12;

std::string_view first_argument(std::string_view payload) noexcept {
  return payload.substr(0, payload.find('\0'));
}

// The version the MTA offers is not examined: this filter speaks version 6
// and grants only what both sides offered.
bool negotiate(ConnectionOwner &owner, MilterSession &session, std::string_view payload) noexcept {
  if (payload.size() < k_negotiation_bytes) {
    owner.close_connection(session.socket);
    return false;
  }
  const MilterHooks &hooks = owner.hooks();
  session.actions = read_u32_be(payload.data() + 4) & hooks.offered_actions;
  session.protocol_flags = read_u32_be(payload.data() + 8) & hooks.offered_protocol_flags;
  std::array<char, 13> reply{'O'};
  write_u32_be(reply.data() + 1, k_milter_version);
  write_u32_be(reply.data() + 5, session.actions);
  write_u32_be(reply.data() + 9, session.protocol_flags);
  return send_reply(owner, session, std::string_view(reply.data(), reply.size()));
}

// host NUL family port(2) address NUL; anything shorter stores nothing.
ConnectInfo take_connect(MilterSession &session, std::string_view payload) noexcept {
  ConnectInfo info;
  const std::size_t host_end = payload.find('\0');
  if (host_end == std::string_view::npos) return info;
  info.host_name = payload.substr(0, host_end);
  const std::string_view rest = payload.substr(host_end + 1);
  if (rest.size() < 3) return info;
  const char family = rest[0];
  info.family = (family == '4' || family == '6' || family == 'L') ? family : 'U';
  info.port = static_cast<std::uint16_t>(static_cast<unsigned char>(rest[1]) << 8 |
                                         static_cast<unsigned char>(rest[2]));
  info.client_address = first_argument(rest.substr(3));
  assign_text(session.connect_address, info.client_address, session.allocator);
  session.client_family = info.family;
  return info;
}

void take_recipient(MilterSession &session, std::string_view recipient) noexcept {
  try {
    session.message.recipients.emplace_back(recipient);
  } catch (const std::bad_alloc &) {
    // Not added; the command is still answered.
  }
}

bool end_of_message(ConnectionOwner &owner, MilterSession &session) noexcept {
  const MilterHooks &hooks = owner.hooks();
  char reply = 'a';
  if (header_block_incomplete(session))
    reply = 't';
  else if (hooks.eom)
    reply = hooks.eom(session);
  const bool open = reply == k_final_reply_queued ? flush_replies(owner, session)
                                                  : send_reply_byte(owner, session, reply);
  if (open) reset_message(session);
  return open;
}

template <typename Hook, typename... Args> char hook_reply(const Hook &hook, Args &&...args) {
  return hook ? hook(std::forward<Args>(args)...) : 'c';
}

} // namespace

bool dispatch_packet(ConnectionOwner &owner, MilterSession &session, char command,
                     std::string_view payload) noexcept {
  const MilterHooks &hooks = owner.hooks();
  switch (command) {
  case 'O': return negotiate(owner, session, payload);
  case 'D': apply_macros(session, payload); return true;
  case 'C': {
    const ConnectInfo info = take_connect(session, payload);
    return send_reply_byte(owner, session, hook_reply(hooks.connect, session, info));
  }
  case 'H': {
    const std::string_view name =
        payload.ends_with('\0') ? payload.substr(0, payload.size() - 1) : payload;
    assign_text(session.helo_name, name, session.allocator);
    return send_reply_byte(owner, session, hook_reply(hooks.helo, session, name));
  }
  case 'M': {
    const std::string_view sender = first_argument(payload);
    assign_text(session.message.envelope_sender, sender, session.allocator);
    return send_reply_byte(owner, session, hook_reply(hooks.envfrom, session, sender));
  }
  case 'R': {
    const std::string_view recipient = first_argument(payload);
    take_recipient(session, recipient);
    return send_reply_byte(owner, session, hook_reply(hooks.envrcpt, session, recipient));
  }
  case 'L': {
    const std::size_t name_end = payload.find('\0');
    if (name_end == std::string_view::npos)
      return send_reply_byte(owner, session, hook_reply(hooks.header, session, payload, ""));
    const std::string_view name = payload.substr(0, name_end);
    const std::string_view value = first_argument(payload.substr(name_end + 1));
    take_header(session, name, value);
    return send_reply_byte(owner, session, hook_reply(hooks.header, session, name, value));
  }
  case 'N': return send_reply_byte(owner, session, hook_reply(hooks.eoh, session));
  case 'B': return send_reply_byte(owner, session, hook_reply(hooks.body, session, payload));
  case 'E': return end_of_message(owner, session);
  case 'A':
    if (hooks.abort) hooks.abort(session);
    reset_message(session);
    return true;
  case 'K': reset_message(session); return true;
  case 'Q': owner.close_connection(session.socket); return false;
  default: return send_reply_byte(owner, session, 'c');
  }
}

bool dispatch_ready_packets(ConnectionOwner &owner, MilterSession &session) noexcept {
  for (;;) {
    const PacketView packet = parse_packet(session);
    if (packet.status == PacketStatus::need_more) return true;
    if (packet.status == PacketStatus::too_large) {
      owner.close_connection(session.socket);
      return false;
    }
    if (!dispatch_packet(owner, session, packet.command, packet.payload)) return false;
    consume_packet(session);
  }
}

} // namespace corvane::milter
