#include "dns/thread_resolver.hpp"

#include "log/log.hpp"
#include "log/stderr_lock.hpp"

#include <cstdlib>

namespace corvane::dns {

namespace {

ResolverSettings g_settings;
thread_local std::unique_ptr<Resolver> t_resolver;

[[noreturn]] void stop_process(std::string_view message) noexcept {
  log::log_message(log::Severity::err, message);
  std::_Exit(EXIT_FAILURE);
}

std::string_view creation_message(CreationStep step) noexcept {
  switch (step) {
  case CreationStep::server_addresses: return "DNS resolver: failed to allocate server addresses";
  case CreationStep::nameserver_list: return "DNS resolver: failed to allocate nameserver list";
  case CreationStep::nameserver_copy: return "DNS resolver: failed to copy nameserver";
  }
  return "DNS resolver: failed to allocate server addresses";
}

// Leaves out every text that is not an address: a worker keeps serving mail
// with the nameservers it can use (none at all makes every lookup DnsTimeout).
ResolverSettings usable_settings() {
  ResolverSettings usable = g_settings;
  usable.nameservers.clear();
  for (const auto &text : g_settings.nameservers) {
    if (socket_address(text, g_settings.port))
      usable.nameservers.push_back(text);
    else
      log::log_message(log::Severity::err, "DNS resolver: invalid nameserver address");
  }
  return usable;
}

} // namespace

void install_thread_resolver_settings(const ResolverSettings &settings) { g_settings = settings; }

Resolver &thread_resolver() {
  if (t_resolver) return *t_resolver;
  CreationStep step = CreationStep::server_addresses;
  try {
    auto made = make_resolver(usable_settings(), std::pmr::get_default_resource(), step);
    if (!made) stop_process(creation_message(step));
    t_resolver = std::move(*made);
  } catch (const std::bad_alloc &) {
    stop_process(creation_message(step));
  }
  return *t_resolver;
}

void drop_thread_resolver() noexcept { t_resolver.reset(); }

} // namespace corvane::dns
