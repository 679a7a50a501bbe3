#include "dns/health_monitor.hpp"

#include "core/unique_fd.hpp"
#include "dns/socket_timeout.hpp"
#include "dns/wire.hpp"
#include "log/log.hpp"
#include "platform/signals.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <ctime>
#include <new>

namespace corvane::dns {

namespace {

using log::ErrorName;
using log::log_message;
using log::Severity;

// NS for the root name, recursion desired: every nameserver can answer it,
// and any answer at all (REFUSED and SERVFAIL included) shows it is alive.
constexpr std::array<std::uint8_t, 17> k_probe = {0x00, 0x01, 0x01, 0x00, 0x00, 0x01,
                                                  0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                  0x00, 0x00, 0x02, 0x00, 0x01};
constexpr std::size_t k_probe_reply_size = 512;

// One probe: a datagram of at least a DNS header back within the timeout.
// Its content is not looked at.
bool probe(const SocketAddress &server, std::uint32_t timeout_ms) noexcept {
  UniqueFd socket(::socket(server.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socket) return false;
  if (!set_socket_timeouts(socket.get(), timeout_ms, false)) return false;
  // Connected, the socket takes datagrams from the server's address only, and
  // a closed port is reported at once instead of after the timeout.
  if (::connect(socket.get(), server.get(), server.length) != 0) return false;
  if (::send(socket.get(), k_probe.data(), k_probe.size(), 0) !=
      static_cast<ssize_t>(k_probe.size()))
    return false;
  std::array<std::byte, k_probe_reply_size> reply;
  ssize_t received;
  do {
    received = ::recv(socket.get(), reply.data(), reply.size(), 0);
  } while (received < 0 && errno == EINTR);
  return received >= static_cast<ssize_t>(k_header_size);
}

// Sleeps the whole slice: a sleep cut short by a signal resumes for the rest.
void sleep_slice(std::uint32_t ms) noexcept {
  timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000};
  while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

void log_init_failure(Error error) noexcept {
  log_message(Severity::warning, "DNS health monitor init failed: ", ErrorName{error},
              ", falling back to reactive");
}

} // namespace

HealthMonitor::HealthMonitor(const HealthMonitorOptions &options) noexcept
    : options_(options), view_{up_.data(), 0} {}

HealthMonitor::~HealthMonitor() {
  stop_.store(true, std::memory_order_relaxed);
  thread_.join();
}

std::uint8_t HealthMonitor::failures(std::size_t index) const noexcept {
  return index < count_ ? failures_[index].load(std::memory_order_relaxed) : 0;
}

void HealthMonitor::record_probe(std::size_t index, bool answered) noexcept {
  if (answered) {
    failures_[index].store(0, std::memory_order_relaxed);
    up_[index].store(1, std::memory_order_relaxed);
    return;
  }
  const std::uint8_t before = failures_[index].load(std::memory_order_relaxed);
  if (before == 255) return;
  failures_[index].store(static_cast<std::uint8_t>(before + 1), std::memory_order_relaxed);
  // The second failure in a row takes the server out.
  if (before >= 1) up_[index].store(0, std::memory_order_relaxed);
}

void HealthMonitor::probe_all() noexcept {
  for (std::size_t i = 0; i < count_; ++i)
    record_probe(i, probe(addresses_[i], options_.probe_timeout_ms));
}

// Probes at once, then every sleep period. The stop flag is looked at before
// each slice, so shutdown waits at most a slice or the cycle under way.
void HealthMonitor::run() noexcept {
  platform::block_signals();
  probe_all();
  while (!stopping()) {
    for (std::uint32_t slice = 0; slice < options_.sleep_slices; ++slice) {
      if (stopping()) return;
      sleep_slice(options_.slice_ms);
    }
    if (stopping()) return;
    probe_all();
  }
}

std::unique_ptr<HealthMonitor> start_health_monitor(std::span<const std::string> nameservers,
                                                    const HealthMonitorOptions &options) noexcept {
  if (nameservers.empty() || nameservers.size() > k_max_monitored_servers) {
    log_init_failure(Error::InvalidServerCount);
    return nullptr;
  }
  std::unique_ptr<HealthMonitor> monitor(new (std::nothrow) HealthMonitor(options));
  if (!monitor) {
    log_init_failure(Error::OutOfMemory);
    return nullptr;
  }
  for (const std::string &text : nameservers) {
    const auto address = socket_address(text, options.port);
    if (!address) {
      log_init_failure(Error::InvalidNameserver);
      return nullptr;
    }
    monitor->addresses_[monitor->count_] = *address;
    monitor->up_[monitor->count_].store(1, std::memory_order_relaxed);
    ++monitor->count_;
  }
  monitor->view_.count = monitor->count_;

  HealthMonitor *state = monitor.get();
  auto thread = platform::start_thread([state] { state->run(); });
  if (!thread) {
    log_message(Severity::warning, "DNS health monitor thread failed: ", ErrorName{thread.error()});
    return monitor;
  }
  monitor->thread_ = std::move(*thread);
  monitor->started_ = true;
  return monitor;
}

void stop_health_monitor(std::unique_ptr<HealthMonitor> monitor) noexcept { monitor.reset(); }

} // namespace corvane::dns
