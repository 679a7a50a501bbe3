#pragma once

#include "core/socket_address.hpp"
#include "dns/monitor_view.hpp"
#include "platform/thread.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace corvane::dns {

inline constexpr std::size_t k_max_monitored_servers = 8;

// How often and how patiently the monitor probes. The daemon always uses the
// defaults; tests shorten them and point the probes at their own port.
struct HealthMonitorOptions {
  std::uint32_t sleep_slices = 5;        // pause between two probe cycles, in slices
  std::uint32_t slice_ms = 1000;         // the stop flag is looked at between slices
  std::uint32_t probe_timeout_ms = 2000; // wait for one probe reply
  std::uint16_t port = 53;
};

// Probes every nameserver on a thread of its own, so that resolvers skip
// servers known to be dead instead of spending their timeouts on them. A
// server goes down on its second failed probe in a row and up again on its
// first answer of any kind: one lost reply does not take it out.
class HealthMonitor {
public:
  HealthMonitor(const HealthMonitor &) = delete;
  HealthMonitor &operator=(const HealthMonitor &) = delete;
  // Stops the thread and waits for it (at most a sleep slice or the current
  // probe cycle).
  ~HealthMonitor();

  // What resolvers link (ResolverSettings::monitor). It lives as long as the
  // monitor, which must outlive every resolver that links it.
  const MonitorView &view() const noexcept { return view_; }

  std::size_t count() const noexcept { return count_; }
  bool started() const noexcept { return started_; }
  bool server_up(std::size_t index) const noexcept { return view_.server_up(index); }
  // Consecutive failed probes of a server, saturating at 255.
  std::uint8_t failures(std::size_t index) const noexcept;

private:
  friend std::unique_ptr<HealthMonitor>
  start_health_monitor(std::span<const std::string> nameservers,
                       const HealthMonitorOptions &options) noexcept;
  explicit HealthMonitor(const HealthMonitorOptions &options) noexcept;
  void run() noexcept;
  // One cycle: each server in order, one probe each. Only the monitor thread
  // runs it, so only that thread writes `up` and `failures`.
  void probe_all() noexcept;
  void record_probe(std::size_t index, bool answered) noexcept;
  bool stopping() const noexcept { return stop_.load(std::memory_order_relaxed); }

  std::array<SocketAddress, k_max_monitored_servers> addresses_{};
  std::size_t count_ = 0;
  platform::Thread thread_;
  bool started_ = false;
  HealthMonitorOptions options_;
  // Single bytes: the monitor thread writes them, workers read `up` without
  // a lock; a reader that sees a flag a moment early or late merely tries or
  // skips one server more.
  std::array<std::atomic<std::uint8_t>, k_max_monitored_servers> up_{};
  std::array<std::atomic<std::uint8_t>, k_max_monitored_servers> failures_{};
  std::atomic<bool> stop_{false};
  MonitorView view_;
};

// Checks the nameservers (1 to 8, each an IPv4 or IPv6 address), marks them
// all up and starts the probing thread. Logs at warning and returns:
// - nothing, after "DNS health monitor init failed: error.<name>, falling back
//   to reactive" (InvalidServerCount, InvalidNameserver, OutOfMemory): the
//   resolvers run without a monitor and try every server;
// - a monitor that does not probe, after "DNS health monitor thread failed:
//   error.<name>" (OutOfMemory, SystemResources, Unexpected): every server
//   stays up, so the resolvers also try every server.
// Called on the main thread after the signal mask is set, before the workers
// start.
std::unique_ptr<HealthMonitor>
start_health_monitor(std::span<const std::string> nameservers,
                     const HealthMonitorOptions &options = {}) noexcept;

// Sets the stop flag, waits for the thread and releases the monitor. At
// shutdown, after the worker threads (and with them every resolver that
// linked the monitor) have ended.
void stop_health_monitor(std::unique_ptr<HealthMonitor> monitor) noexcept;

} // namespace corvane::dns
