#pragma once

#include "config/config.hpp"
#include "core/result.hpp"
#include "milter/generation.hpp"
#include "milter/hooks.hpp"
#include "milter/listener.hpp"
#include "platform/thread.hpp"
#include "platform/unique_fd.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace corvane::daemon {

// The worker threads and what the main thread keeps to steer them: the
// shutdown pipe (every worker watches its read end; closing the write end
// starts the drain), one wake pipe per worker, the configuration generation
// and the shared unix-domain listeners.
class WorkerPool {
public:
  explicit WorkerPool(std::size_t workers) : generations_(workers) {}
  WorkerPool(const WorkerPool &) = delete;
  WorkerPool &operator=(const WorkerPool &) = delete;
  // Drains and joins whatever was started.
  ~WorkerPool() { shutdown(); }

  // Creates the pipes, prepares every worker with its listeners and only
  // then starts one thread per worker, in index order. Any failure releases
  // what was prepared (threads already started are drained and joined first)
  // and is returned (AddressInUse, SystemResources, ...).
  Result<void> start(const config::Config &config, const milter::MilterHooks &hooks,
                     std::size_t worker_count);

  // SIGHUP: advance the generation and wake every worker; returns the new
  // generation.
  std::uint64_t reload() noexcept;

  // Closes the shutdown pipe's write end, joins the workers in index order,
  // then closes the shared listeners and the pipes. Idempotent.
  void shutdown() noexcept;

  const milter::GenerationRecord &generations() const noexcept { return generations_; }

private:
  milter::GenerationRecord generations_;
  platform::UniqueFd shutdown_read_;
  platform::UniqueFd shutdown_write_;
  std::vector<platform::UniqueFd> wake_writes_;
  std::vector<platform::Thread> threads_;
  std::unique_ptr<milter::SharedListeners> shared_;
};

} // namespace corvane::daemon
