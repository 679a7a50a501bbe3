#pragma once

#include "config/config.hpp"
#include "core/result.hpp"
#include "core/unique_fd.hpp"
#include "milter/generation.hpp"
#include "milter/hooks.hpp"
#include "milter/listener.hpp"
#include "milter/session.hpp"
#include "milter/worker.hpp"
#include "platform/thread.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace corvane::milter {

struct WorkerPoolSettings {
  std::vector<config::ListenerConfig> listeners;
  SessionLimits limits;
  std::uint32_t max_connections = 256; // per worker
  MilterHooks hooks;
  // Tests shorten the drain; the daemon keeps 30 s.
  std::int64_t drain_timeout_ms = k_drain_timeout_ms;
};

// The worker threads and what the main thread keeps to steer them: the
// shutdown pipe (every worker watches its read end; closing the write end
// starts the drain), one wake pipe per worker, the configuration generation
// and the shared unix-domain listeners.
class WorkerPool {
public:
  explicit WorkerPool(std::size_t workers) : generations_(workers), count_(workers) {}
  WorkerPool(const WorkerPool &) = delete;
  WorkerPool &operator=(const WorkerPool &) = delete;
  // Drains and joins whatever was started.
  ~WorkerPool() { shutdown(); }

  // Creates the pipes, prepares every worker with its listeners and only
  // then starts one thread per worker, in index order. Any failure releases
  // what was prepared (threads already started are drained and joined) and
  // is returned (AddressInUse, SystemResources, ...).
  Result<void> start(const WorkerPoolSettings &settings);

  // SIGHUP: advance the generation and wake every worker; returns the new
  // generation.
  std::uint64_t reload() noexcept;

  // Starts the drain: closes the shutdown pipe's write end.
  void begin_shutdown() noexcept;
  // Drains, joins the workers in index order, then closes the shared
  // listeners and the pipes. Idempotent.
  void shutdown() noexcept;

  const GenerationRecord &generations() const noexcept { return generations_; }

private:
  GenerationRecord generations_;
  std::size_t count_;
  UniqueFd shutdown_read_;
  UniqueFd shutdown_write_;
  std::vector<UniqueFd> wake_writes_;
  std::vector<platform::Thread> threads_;
  std::unique_ptr<SharedListeners> shared_;
};

} // namespace corvane::milter
