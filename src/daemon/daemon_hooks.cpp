#include "daemon/daemon_hooks.hpp"

#include "dns/thread_resolver.hpp"
#include "log/log.hpp"

namespace corvane::daemon {

void reload_worker() noexcept {
  dns::drop_thread_resolver();
  log::log_message(log::Severity::debug, "worker: config reload acknowledged");
}

milter::MilterHooks daemon_hooks() {
  milter::MilterHooks hooks;
  hooks.reload = &reload_worker;
  hooks.offered_actions = milter::k_action_add_headers | milter::k_action_change_headers;
  hooks.offered_protocol_flags = 0;
  return hooks;
}

} // namespace corvane::daemon
