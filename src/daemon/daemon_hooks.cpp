#include "daemon/daemon_hooks.hpp"

#include "dns/thread_resolver.hpp"
#include "events/event_publisher.hpp"
#include "filter/end_of_message.hpp"
#include "log/log.hpp"

namespace corvane::daemon {

void reload_worker() noexcept {
  dns::drop_thread_resolver();
  log::log_message(log::Severity::debug, "worker: config reload acknowledged");
}

namespace {

dns::TxtLookup &this_thread_resolver() { return dns::thread_resolver(); }

} // namespace

filter::FilterSettings filter_settings(const config::Config &config,
                                       const ReferenceData &reference) {
  filter::FilterSettings settings;
  settings.authserv_id = config.authserv_id;
  settings.strip_auth_results = config.strip_auth_results;
  settings.reject_text = config.reject_text;
  settings.quarantine_header = config.quarantine_header;
  for (const auto &listener : config.listeners)
    settings.enforcement.push_back(static_cast<dmarc::PolicyAction>(listener.enforcement));
  settings.max_evaluation_ms = config.max_evaluation_ms;
  settings.apply_pct = config.apply_pct;
  settings.sealers = &reference.trusted_sealers;
  settings.public_suffix_list =
      reference.public_suffix_list ? &*reference.public_suffix_list : nullptr;
  settings.resolver = &this_thread_resolver;
  settings.publish = &events::publish_event;
  return settings;
}

milter::MilterHooks daemon_hooks(const filter::FilterSettings &settings) {
  milter::MilterHooks hooks;
  hooks.eom = [&settings](milter::MilterSession &session) {
    return filter::handle_end_of_message(session, settings);
  };
  hooks.reload = &reload_worker;
  hooks.offered_actions = milter::k_action_add_headers | milter::k_action_change_headers;
  hooks.offered_protocol_flags = 0;
  return hooks;
}

} // namespace corvane::daemon
