#include "daemon/run_daemon.hpp"

#include "config/load_config.hpp"
#include "daemon/daemon_hooks.hpp"
#include "daemon/process_setup.hpp"
#include "daemon/reference_data.hpp"
#include "daemon/signal_loop.hpp"
#include "dns/health_monitor.hpp"
#include "dns/thread_resolver.hpp"
#include "events/event_publisher.hpp"
#include "log/log.hpp"
#include "milter/worker_pool.hpp"
#include "platform/cpu_count.hpp"
#include "platform/signals.hpp"

#include <sys/stat.h>

#include <optional>
#include <string_view>

namespace corvane::daemon {

using log::ErrorName;
using log::log_message;
using log::Severity;

namespace {

constexpr std::uint32_t k_fallback_workers = 4;

// Exactly "-c" and a path; anything after the path is ignored.
std::optional<std::string_view> config_path(std::span<char *const> arguments) {
  if (arguments.size() < 3 || std::string_view(arguments[1]) != "-c") return std::nullopt;
  return std::string_view(arguments[2]);
}

dns::ResolverSettings resolver_settings(const config::Config &config) {
  dns::ResolverSettings settings;
  settings.nameservers = config.dns_nameservers;
  settings.port = config::k_dns_port;
  settings.timeout_ms = config.dns_timeout_ms;
  settings.retries = config.dns_retries;
  settings.cache_size = config.dns_cache_size;
  settings.negative_ttl = config.dns_negative_ttl;
  return settings;
}

std::size_t worker_count(const config::Config &config) {
  if (config.worker_threads != 0) return config.worker_threads;
  const auto cpus = platform::cpu_count();
  return cpus ? *cpus : k_fallback_workers;
}

std::uint64_t descriptors_needed(const config::Config &config, std::size_t workers) {
  return std::uint64_t{workers} *
             (std::uint64_t{config.max_connections} + config.listeners.size() + 3) +
         64;
}

milter::WorkerPoolSettings pool_settings(const config::Config &config, milter::MilterHooks hooks) {
  milter::WorkerPoolSettings settings;
  settings.listeners = config.listeners;
  settings.limits = {config.max_headers, config.max_header_bytes, config.max_body_bytes,
                     config.max_signatures};
  settings.max_connections = config.max_connections;
  settings.hooks = std::move(hooks);
  return settings;
}

std::optional<ResolvedUser> runtime_owner(const config::Config &config) {
  if (!config.user) return std::nullopt;
  auto resolved = resolve_user_spec(*config.user);
  if (resolved) return *resolved;
  log_message(Severity::warning, "resolving '", *config.user,
              "' for runtime directories failed: ", ErrorName{resolved.error()});
  return std::nullopt;
}

void prepare_runtime_dirs(const config::Config &config) {
  const auto owner = runtime_owner(config);
  prepare_runtime_dir(config.pid_file, owner);
  for (const auto &listener : config.listeners)
    if (listener.address.kind == config::ListenAddress::Kind::unix_domain)
      prepare_runtime_dir(listener.address.path, owner);
}

// The PID file from its writing to the end: a start-up that fails after it
// was written removes it again, and an orderly shutdown removes it whether or
// not it was written.
class PidFileGuard {
public:
  explicit PidFileGuard(const std::string &path) : path_(path) {
    auto written = write_pid_file(path_);
    if (!written) log_message(Severity::err, "pid file write failed: ", ErrorName{written.error()});
    remove_ = written.has_value();
  }
  PidFileGuard(const PidFileGuard &) = delete;
  PidFileGuard &operator=(const PidFileGuard &) = delete;
  ~PidFileGuard() {
    if (remove_) remove_pid_file(path_);
  }
  void shutting_down() noexcept { remove_ = true; }

private:
  const std::string &path_;
  bool remove_ = false;
};

} // namespace

Result<void> run_daemon(std::span<char *const> arguments) {
  const auto path = config_path(arguments);
  if (!path) {
    log_message(Severity::err, "usage: corvane -c <config-file>");
    return Error::InvalidArgument;
  }
  auto loaded = config::load_config(*path);
  if (!loaded) return loaded.error();
  const config::Config &config = *loaded;
  log::install_log_settings(config.log_settings);
  log::open_log_connection();

  dns::ResolverSettings resolvers = resolver_settings(config);
  events::install_event_settings(config.zmq_endpoint, config.zmq_topic);
  const ReferenceData reference = load_reference_data(config);
  const filter::FilterSettings settings = filter_settings(config, reference);

  if (config.umask) ::umask(*config.umask);
  if (auto free = check_pid_file(config.pid_file); !free) return free.error();

  std::optional<int> startup_pipe;
  if (!config.foreground) {
    auto daemonized = daemonize();
    if (!daemonized) {
      log_message(Severity::err, "daemonize failed: ", ErrorName{daemonized.error()});
      return daemonized.error();
    }
    startup_pipe = *daemonized;
    log::open_log_connection(); // a new process id
  }
  platform::block_signals();

  // Logs its own warnings; without it every lookup tries every server. The
  // resolvers, created later on the worker threads, link it.
  std::unique_ptr<dns::HealthMonitor> monitor = dns::start_health_monitor(config.dns_nameservers);
  if (monitor) resolvers.monitor = &monitor->view();
  dns::install_thread_resolver_settings(resolvers);

  prepare_runtime_dirs(config);
  PidFileGuard pid_file(config.pid_file);
  const std::size_t workers = worker_count(config);
  set_fd_limit(descriptors_needed(config, workers));
  if (config.user) {
    if (auto dropped = drop_privileges(*config.user); !dropped) {
      log_message(Severity::err, "privilege drop to '", *config.user,
                  "' failed: ", ErrorName{dropped.error()});
      return dropped.error();
    }
  }
  log_message(Severity::info, "Corvane starting, AuthservID=", config.authserv_id,
              ", listeners=", config.listeners.size());

  milter::WorkerPool pool(workers);
  if (auto started = pool.start(pool_settings(config, daemon_hooks(settings))); !started)
    return started.error();
  if (startup_pipe) notify_parent(*startup_pipe);
  run_signal_loop(pool);
  pool.shutdown();
  dns::stop_health_monitor(std::move(monitor));
  pid_file.shutting_down();
  return {};
}

} // namespace corvane::daemon
