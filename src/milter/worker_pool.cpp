#include "milter/worker_pool.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace corvane::milter {

namespace {

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

Result<Pipe> make_pipe() noexcept {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return error_from_errno(errno);
  return Pipe{UniqueFd(ends[0]), UniqueFd(ends[1])};
}

Result<void> make_non_blocking(int fd) noexcept {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return error_from_errno(errno);
  return {};
}

} // namespace

Result<void> WorkerPool::start(const WorkerPoolSettings &settings) {
  const std::size_t worker_count = count_;
  auto shutdown_pipe = make_pipe();
  if (!shutdown_pipe) return shutdown_pipe.error();
  shutdown_read_ = std::move(shutdown_pipe->read);
  shutdown_write_ = std::move(shutdown_pipe->write);

  // The write ends stay blocking; a worker reads its end until it is empty.
  std::vector<UniqueFd> wake_reads;
  for (std::size_t i = 0; i < worker_count; ++i) {
    auto wake = make_pipe();
    if (!wake) return wake.error();
    if (auto set = make_non_blocking(wake->read.get()); !set) return set.error();
    wake_reads.push_back(std::move(wake->read));
    wake_writes_.push_back(std::move(wake->write));
  }

  auto shared = SharedListeners::open(settings.listeners);
  if (!shared) return shared.error();
  shared_ = std::make_unique<SharedListeners>(std::move(*shared));

  std::vector<std::unique_ptr<Worker>> workers;
  for (std::size_t i = 0; i < worker_count; ++i) {
    WorkerSetup setup;
    setup.index = i;
    setup.shutdown_fd = shutdown_read_.get();
    setup.wake_fd = std::move(wake_reads[i]);
    setup.hooks = settings.hooks;
    setup.limits = settings.limits;
    setup.max_connections = settings.max_connections;
    setup.generations = &generations_;
    setup.drain_timeout_ms = settings.drain_timeout_ms;
    auto worker = prepare_worker(std::move(setup), settings.listeners, *shared_);
    if (!worker) return worker.error();
    workers.push_back(std::move(*worker));
  }

  // Only now that every worker is ready does any of them run. The list has
  // room for every handle first: a started thread must never be left
  // unrecorded (its handle would wait for it at once).
  threads_.reserve(workers.size());
  for (auto &worker : workers) {
    Worker *handed = worker.release();
    auto thread =
        platform::start_thread([handed] { run_worker_thread(std::unique_ptr<Worker>(handed)); });
    if (!thread) {
      worker.reset(handed); // never ran: still ours to free
      return thread.error();
    }
    threads_.push_back(std::move(*thread));
  }
  return {};
}

std::uint64_t WorkerPool::reload() noexcept {
  generations_.advance();
  const char wake = 0x01;
  for (const auto &pipe : wake_writes_)
    [[maybe_unused]] const ssize_t written = ::write(pipe.get(), &wake, 1);
  return generations_.current();
}

void WorkerPool::begin_shutdown() noexcept { shutdown_write_.reset(); }

void WorkerPool::shutdown() noexcept {
  begin_shutdown();
  for (auto &thread : threads_)
    thread.join();
  threads_.clear();
  shared_.reset();
  wake_writes_.clear();
  shutdown_read_.reset();
}

} // namespace corvane::milter
