#pragma once

#include "milter/session.hpp"

#include <cstdint>
#include <functional>
#include <string_view>

namespace corvane::milter {

// Option negotiation: the actions and protocol steps this filter offers; the
// MTA's offer is masked with them.
inline constexpr std::uint32_t k_action_add_headers = 0x01;    // SMFIF_ADDHDRS
inline constexpr std::uint32_t k_action_change_headers = 0x10; // SMFIF_CHGHDRS

// Whether the MTA granted this connection SMFIF_CHGHDRS.
inline bool may_change_headers(const MilterSession &session) noexcept {
  return (session.actions & k_action_change_headers) != 0;
}
inline constexpr std::uint32_t k_milter_version = 6;

// What a command hook may answer besides a reply code: the final reply of the
// command is already in the session's output queue (a reply-code packet is a
// complete answer to end of message), so the engine sends no reply byte of
// its own and only flushes.
inline constexpr char k_final_reply_queued = '\0';

struct ConnectInfo {
  std::string_view host_name;
  std::string_view client_address;
  std::uint16_t port = 0; // host order
  char family = 'U';
};

// The per-worker table of command hooks. An absent hook means the engine's
// default answer. Read-only once the worker runs.
struct MilterHooks {
  std::function<char(MilterSession &, const ConnectInfo &)> connect;
  std::function<char(MilterSession &, std::string_view helo_name)> helo;
  std::function<char(MilterSession &, std::string_view sender)> envfrom;
  std::function<char(MilterSession &, std::string_view recipient)> envrcpt;
  std::function<char(MilterSession &, std::string_view name, std::string_view value)> header;
  std::function<char(MilterSession &)> eoh;
  std::function<char(MilterSession &, std::string_view chunk)> body;
  std::function<char(MilterSession &)> eom;
  std::function<void(MilterSession &)> abort;
  // Called by the worker loop when the configuration generation moved.
  std::function<void()> reload;
  std::uint32_t offered_actions = k_action_add_headers | k_action_change_headers;
  std::uint32_t offered_protocol_flags = 0;
};

} // namespace corvane::milter
