#include "milter/dispatch.hpp"

#include <array>

namespace corvane::milter {

namespace {

struct MacroName {
  std::string_view braced;
  std::string_view bare;
  OptionalText MilterSession::*connection_field;
  OptionalText MessageContext::*message_field;
};

// The queue id is only ever sent bare: "{i}" is someone else's macro.
constexpr std::array k_macros{
    MacroName{"{client_addr}", "client_addr", &MilterSession::client_addr, nullptr},
    MacroName{"{client_name}", "client_name", &MilterSession::client_name, nullptr},
    MacroName{"{mail_addr}", "mail_addr", nullptr, &MessageContext::mail_addr},
    MacroName{"{rcpt_addr}", "rcpt_addr", nullptr, &MessageContext::rcpt_addr},
    MacroName{"", "i", nullptr, &MessageContext::queue_id},
    MacroName{"{daemon_name}", "daemon_name", &MilterSession::daemon_name, nullptr},
    MacroName{"{auth_type}", "auth_type", &MilterSession::auth_type, nullptr},
};

OptionalText *field_for(MilterSession &session, std::string_view name) noexcept {
  for (const MacroName &macro : k_macros) {
    if (name != macro.bare && (macro.braced.empty() || name != macro.braced)) continue;
    return macro.connection_field != nullptr ? &(session.*macro.connection_field)
                                             : &(session.message.*macro.message_field);
  }
  return nullptr;
}

} // namespace

// Pairs are applied in packet order, which gives a repeated macro its last
// value. A value that cannot be copied leaves its field empty and ends the
// packet's macros.
void apply_macros(MilterSession &session, std::string_view payload) noexcept {
  if (payload.empty()) return;
  std::string_view rest = payload.substr(1);
  while (!rest.empty()) {
    const std::size_t name_end = rest.find('\0');
    if (name_end == std::string_view::npos) return;
    const std::string_view name = rest.substr(0, name_end);
    rest.remove_prefix(name_end + 1);
    const std::size_t value_end = rest.find('\0');
    const std::string_view value = rest.substr(0, value_end);
    rest.remove_prefix(value_end == std::string_view::npos ? rest.size() : value_end + 1);
    OptionalText *field = field_for(session, name);
    if (field != nullptr && !assign_text(*field, value, session.allocator)) return;
  }
}

} // namespace corvane::milter
