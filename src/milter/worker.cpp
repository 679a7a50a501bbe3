#include "milter/worker.hpp"

#include "core/clock.hpp"
#include "log/log.hpp"
#include "milter/dispatch.hpp"
#include "milter/packet.hpp"
#include "milter/reply.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <new>

namespace corvane::milter {

using log::ErrorName;
using log::log_message;
using log::Severity;

namespace {

constexpr std::size_t k_wake_chunk = 64;

// Connections that vanish between the kernel's handshake and the accept
// call, and descriptor exhaustion, are not reasons to leave the backlog
// unserved: the first is skipped, the second retried.
bool accept_error_skips_one(int error) noexcept { return error == ECONNABORTED || error == EPROTO; }

bool out_of_descriptors(int error) noexcept { return error == EMFILE || error == ENFILE; }

} // namespace

Worker::Worker(WorkerSetup setup, platform::EventQueue queue, std::vector<ListenSocket> listeners)
    : allocator_(setup.allocator), listeners_(std::move(listeners)), hooks_(std::move(setup.hooks)),
      limits_(setup.limits), generations_(setup.generations),
      last_generation_(generations_ != nullptr ? generations_->current() : 0), index_(setup.index),
      queue_(std::move(queue)), shutdown_fd_(setup.shutdown_fd),
      max_connections_(setup.max_connections), wake_fd_(std::move(setup.wake_fd)),
      drain_timeout_ms_(setup.drain_timeout_ms), accept_blocked_(listeners_.size(), false),
      accept_ready_(listeners_.size(), false) {}

Worker::~Worker() {
  while (!sessions_.empty())
    close_connection(sessions_.begin()->first);
  for (auto &listener : listeners_)
    close_listener(listener, queue_);
}

void Worker::run() {
  for (;;) {
    if (draining_) {
      if (sessions_.empty()) return;
      if (realtime_ms() >= drain_deadline_ms_) {
        log_message(Severity::warning, "drain timeout, closing ", sessions_.size(),
                    " remaining connections");
        return;
      }
    }
    check_generation();
    auto events = queue_.wait(wait_timeout_ms());
    if (!events) {
      // A signal is not a failure of the queue.
      if (events.error() != Error::Interrupted)
        log_message(Severity::err, "kevent error: ", ErrorName{events.error()});
      continue;
    }
    for (const platform::ReadyEvent &event : *events)
      handle(event);
    accept_on_ready_listeners();
    retry_blocked_accepts();
  }
}

void Worker::check_generation() {
  if (generations_ == nullptr) return;
  const std::uint64_t current = generations_->current();
  generations_->acknowledge(index_, current);
  if (current == last_generation_) return;
  last_generation_ = current;
  if (hooks_.reload) hooks_.reload();
}

int Worker::wait_timeout_ms() const noexcept {
  std::int64_t timeout = -1;
  if (draining_) timeout = 1000;
  if (std::find(accept_blocked_.begin(), accept_blocked_.end(), true) != accept_blocked_.end()) {
    const std::int64_t until_retry = std::max<std::int64_t>(0, accept_retry_at_ms_ - realtime_ms());
    timeout = timeout < 0 ? until_retry : std::min(timeout, until_retry);
  }
  return static_cast<int>(std::min<std::int64_t>(timeout, k_accept_retry_ms));
}

void Worker::handle(const platform::ReadyEvent &event) {
  if (event.error) return;
  const int fd = event.fd;
  if (event.kind == platform::Readiness::write) {
    if (MilterSession *session = find_session(fd)) {
      session->write_pending = false;
      flush_replies(*this, *session);
    }
    return;
  }
  if (fd == shutdown_fd_) {
    if (!draining_) begin_drain();
    return;
  }
  if (wake_fd_ && fd == wake_fd_.get()) return drain_wake_pipe();
  for (std::size_t i = 0; i < listeners_.size(); ++i) {
    if (listeners_[i].socket != fd) continue;
    accept_ready_[i] = true;
    return;
  }
  if (event.end_of_input) {
    close_connection(fd);
    return;
  }
  if (find_session(fd) != nullptr) read_connection(fd);
}

// Accepting waits for the end of the batch: a connection closed in it frees
// its number, and a new connection taking that number must not be handed a
// later event of the batch that was meant for the old one.
void Worker::accept_on_ready_listeners() {
  for (std::size_t i = 0; i < accept_ready_.size(); ++i) {
    if (!accept_ready_[i]) continue;
    accept_ready_[i] = false;
    if (!draining_) accept_connections(i);
  }
}

void Worker::begin_drain() {
  draining_ = true;
  for (auto &listener : listeners_)
    close_listener(listener, queue_);
  std::fill(accept_blocked_.begin(), accept_blocked_.end(), false);
  drain_deadline_ms_ = realtime_ms() + drain_timeout_ms_;
}

void Worker::drain_wake_pipe() noexcept {
  std::array<char, k_wake_chunk> bytes;
  for (;;) {
    const ssize_t got = ::read(wake_fd_.get(), bytes.data(), bytes.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < static_cast<ssize_t>(bytes.size())) return;
  }
}

void Worker::accept_connections(std::size_t listener_index) {
  const int listening = listeners_[listener_index].socket;
  for (;;) {
    sockaddr_storage peer{};
    socklen_t peer_length = sizeof(peer);
    const int socket = ::accept4(listening, reinterpret_cast<sockaddr *>(&peer), &peer_length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (socket >= 0) {
      accept_one(listener_index, socket, peer, peer_length);
      continue;
    }
    const int error = errno;
    if (error == EINTR || accept_error_skips_one(error)) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) break;
    log_message(Severity::err, "accept error: ", ErrorName{error_from_errno(error)});
    if (out_of_descriptors(error)) {
      // Readiness is reported once per change: without a retry, connections
      // waiting in the backlog would wait for the next one to arrive.
      accept_blocked_[listener_index] = true;
      accept_retry_at_ms_ = realtime_ms() + k_accept_retry_ms;
      connection_closed_ = false;
    }
    break;
  }
  log_refusals();
}

void Worker::accept_one(std::size_t listener_index, int socket, const sockaddr_storage &peer,
                        socklen_t peer_length) {
  if (sessions_.size() >= max_connections_) {
    ++refused_count_;
    ::close(socket);
    return;
  }
  if (!listeners_[listener_index].unix_domain) {
    // Both only help; a connection without them is still served.
    (void)enable_socket_option(socket, IPPROTO_TCP, TCP_NODELAY);
    (void)enable_socket_option(socket, SOL_SOCKET, SO_KEEPALIVE);
  }
  try {
    auto session = std::make_unique<MilterSession>(socket, listener_index, limits_,
                                                   peer_label_for(&peer, peer_length), allocator_);
    sessions_.emplace(socket, std::move(session));
  } catch (const std::bad_alloc &) {
    ::close(socket);
    return;
  }
  queue_.watch_read(socket);
}

void Worker::log_refusals() {
  if (refused_count_ == 0) return;
  const std::int64_t now = realtime_ms();
  if (refusal_logged_ && now - last_refusal_line_ms_ < k_refusal_interval_ms) return;
  log_message(Severity::warning, "refused ", refused_count_, " connection(s): worker ", index_,
              " is at MaxConnections=", max_connections_);
  last_refusal_line_ms_ = now;
  refusal_logged_ = true;
  refused_count_ = 0;
}

void Worker::retry_blocked_accepts() {
  if (draining_) return;
  if (!connection_closed_ && realtime_ms() < accept_retry_at_ms_) return;
  for (std::size_t i = 0; i < accept_blocked_.size(); ++i) {
    if (!accept_blocked_[i]) continue;
    accept_blocked_[i] = false;
    accept_connections(i);
  }
}

void Worker::read_connection(int socket) {
  std::array<char, k_read_chunk_bytes> chunk;
  for (;;) {
    MilterSession *session = find_session(socket);
    if (session == nullptr) return;
    const ssize_t got = ::read(socket, chunk.data(), chunk.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) close_connection(socket);
      return;
    }
    if (got == 0 ||
        !append_input(*session, std::span(chunk.data(), static_cast<std::size_t>(got)))) {
      close_connection(socket);
      return;
    }
    if (!dispatch_ready_packets(*this, *session)) return;
    // A short read emptied the socket; edge-triggered readiness reports the
    // next arrival, so the read that would only say "would block" is saved.
    if (static_cast<std::size_t>(got) < chunk.size()) return;
  }
}

bool Worker::close_connection(int socket) noexcept {
  const auto found = sessions_.find(socket);
  if (found == sessions_.end()) return false;
  std::unique_ptr<MilterSession> session = std::move(found->second);
  sessions_.erase(found);
  queue_.drop_pending(socket);
  ::close(socket);
  session.reset();
  connection_closed_ = true;
  return true;
}

MilterSession *Worker::find_session(int socket) noexcept {
  const auto found = sessions_.find(socket);
  return found == sessions_.end() ? nullptr : found->second.get();
}

Result<std::unique_ptr<Worker>> prepare_worker(WorkerSetup setup,
                                               const std::vector<config::ListenerConfig> &listeners,
                                               const SharedListeners &shared) {
  auto queue = platform::EventQueue::create();
  if (!queue) return queue.error();
  if (setup.shutdown_fd >= 0) queue->watch_read(setup.shutdown_fd);
  if (setup.wake_fd) queue->watch_read(setup.wake_fd.get());
  auto sockets = shared.sockets_for_worker(listeners, *queue);
  if (!sockets) return sockets.error();
  if (auto submitted = queue->submit(); !submitted) return submitted.error();
  return catch_out_of_memory([&]() -> Result<std::unique_ptr<Worker>> {
    return std::make_unique<Worker>(std::move(setup), std::move(*queue), std::move(*sockets));
  });
}

void run_worker_thread(std::unique_ptr<Worker> worker) noexcept {
  log::open_log_connection();
  worker->run();
  worker.reset();
  log::close_log_connection();
}

} // namespace corvane::milter
