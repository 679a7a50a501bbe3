#pragma once

#include "core/unique_fd.hpp"
#include "milter/connection_owner.hpp"
#include "milter/generation.hpp"
#include "milter/hooks.hpp"
#include "milter/listener.hpp"
#include "milter/session.hpp"
#include "platform/event_queue.hpp"

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <unordered_map>
#include <vector>

namespace corvane::milter {

// Connections still open this long after shutdown began are closed.
inline constexpr std::int64_t k_drain_timeout_ms = 30'000;
inline constexpr std::size_t k_read_chunk_bytes = 8192;
// At most one refusal line per this interval per worker.
inline constexpr std::int64_t k_refusal_interval_ms = 1000;
// A listener whose accept ran out of descriptors is tried again at least
// this often, besides whenever one of the worker's connections closes.
inline constexpr std::int64_t k_accept_retry_ms = 1000;

// What start-up hands a worker before its thread runs.
struct WorkerSetup {
  std::uint64_t index = 0;
  int shutdown_fd = -1; // read end of the shutdown pipe; shared, owned by the main thread
  UniqueFd wake_fd;     // read end of this worker's wake pipe, or none
  MilterHooks hooks;
  SessionLimits limits;
  std::uint32_t max_connections = 256;
  GenerationRecord *generations = nullptr;
  // Tests shorten the drain; the daemon keeps 30 s.
  std::int64_t drain_timeout_ms = k_drain_timeout_ms;
  std::pmr::memory_resource *allocator = std::pmr::get_default_resource();
};

// One worker thread's event loop: it accepts MTA connections on its listening
// sockets up to MaxConnections, reads milter packets and hands them to the
// protocol engine, resumes stalled reply writes, acts on new configuration
// generations and drains at shutdown. Everything here runs on the worker's
// own thread; nothing is shared or locked.
class Worker final : public ConnectionOwner {
public:
  Worker(WorkerSetup setup, platform::EventQueue queue, std::vector<ListenSocket> listeners);
  Worker(const Worker &) = delete;
  Worker &operator=(const Worker &) = delete;
  // Teardown: remaining connections closed without a reply, listeners closed.
  ~Worker();

  // The loop; returns once drained.
  void run();

  // Removes the session of `socket`, closes the socket and frees the session;
  // a descriptor without a session is ignored. Returns whether there was one.
  bool close_connection(int socket) noexcept override;
  void queue_write_interest(int socket) noexcept override { queue_.arm_write(socket); }

  MilterSession *find_session(int socket) noexcept;
  const MilterHooks &hooks() const noexcept override { return hooks_; }
  std::uint64_t index() const noexcept { return index_; }
  std::size_t connection_count() const noexcept { return sessions_.size(); }
  bool draining() const noexcept { return draining_; }

private:
  void check_generation();
  int wait_timeout_ms() const noexcept;
  void handle(const platform::ReadyEvent &event);
  void begin_drain();
  void drain_wake_pipe() noexcept;
  ListenSocket *listener_for(int fd) noexcept;
  void accept_connections(std::size_t listener_index);
  void accept_on_ready_listeners();
  void accept_one(std::size_t listener_index, int socket, const sockaddr_storage &peer,
                  socklen_t peer_length);
  void log_refusals();
  void retry_blocked_accepts();
  void read_connection(int socket);

  std::pmr::memory_resource *allocator_;
  std::vector<ListenSocket> listeners_;
  std::unordered_map<int, std::unique_ptr<MilterSession>> sessions_;
  MilterHooks hooks_;
  SessionLimits limits_;
  GenerationRecord *generations_;
  std::uint64_t last_generation_ = 0;
  std::uint64_t refused_count_ = 0;
  std::int64_t last_refusal_line_ms_ = 0;
  bool refusal_logged_ = false;
  std::uint64_t index_;
  platform::EventQueue queue_;
  int shutdown_fd_;
  std::uint32_t max_connections_;
  UniqueFd wake_fd_;
  bool draining_ = false;
  std::int64_t drain_deadline_ms_ = 0;
  std::int64_t drain_timeout_ms_;
  // Listeners whose accept failed for lack of descriptors (by index), and
  // when they were last tried.
  std::vector<bool> accept_blocked_;
  std::vector<bool> accept_ready_; // reported ready in the batch being handled
  std::int64_t accept_retry_at_ms_ = 0;
  bool connection_closed_ = false;
};

// Start-up's preparation of one worker: creates its queue and registers the
// shutdown pipe, its wake pipe and one listening socket per listener (inet:
// its own; unix-domain: the shared one). Errors: the queue's, the
// listeners' (AddressInUse, ...).
Result<std::unique_ptr<Worker>> prepare_worker(WorkerSetup setup,
                                               const std::vector<config::ListenerConfig> &listeners,
                                               const SharedListeners &shared);

// The body of a worker thread: opens its log connection, runs the loop,
// frees the worker, closes the log connection.
void run_worker_thread(std::unique_ptr<Worker> worker) noexcept;

} // namespace corvane::milter
