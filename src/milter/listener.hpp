#pragma once

#include "config/config.hpp"
#include "core/result.hpp"
#include "core/unique_fd.hpp"
#include "platform/event_queue.hpp"

#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::milter {

inline constexpr int k_listen_backlog = 256;

// The one listening socket of a unix-domain listener. Every worker accepts on
// it (accepts are non-blocking, so a worker that loses the race simply finds
// nothing), which a path per worker could not give: a path names one socket.
// Opened by start-up before the workers are prepared; closed by the main
// thread after the workers are joined. The path is removed once, by the
// first worker to start draining.
class UnixListener {
public:
  UnixListener(UniqueFd socket, std::string path) noexcept
      : socket_(std::move(socket)), path_(std::move(path)) {}
  UnixListener(const UnixListener &) = delete;
  UnixListener &operator=(const UnixListener &) = delete;
  ~UnixListener();

  int socket() const noexcept { return socket_.get(); }
  const std::string &path() const noexcept { return path_; }
  // Removes the path if no one has yet; safe from any worker thread.
  void remove_path() noexcept;

private:
  UniqueFd socket_;
  std::string path_;
  std::atomic<bool> path_removed_{false};
};

// One worker's socket for one listener, in configuration order: the
// position is the listener index of every connection accepted on it.
struct ListenSocket {
  config::ListenAddress address;
  bool unix_domain = false;
  sockaddr_storage bound{};
  socklen_t bound_length = 0;
  int socket = -1;
  int registered = -1;            // the socket while open and registered; -1 once closed
  UniqueFd owned;                 // inet: this worker's own socket
  UnixListener *shared = nullptr; // unix-domain: the socket every worker shares
};

// An inet listener's socket for one worker: SO_REUSEADDR and SO_REUSEPORT,
// so every worker binds the same address and the kernel spreads the
// connections. Errors of socket, bind, listen, getsockname (AddressInUse,
// AccessDenied, AddressNotAvailable, ...), InvalidHost.
Result<ListenSocket> open_listener(const config::ListenAddress &address);

// Turns a boolean socket option on (SO_REUSEADDR, TCP_NODELAY, ...).
Result<void> enable_socket_option(int fd, int level, int option) noexcept;

// Binds a unix-domain listener once. What is at the path is removed first only
// when it is a socket (a stale one of an earlier run); any other file is left
// alone and the bind fails with AddressInUse, so a configuration typo never
// deletes a file. Errors: InvalidPath, FileNotFound (no such directory),
// AddressInUse, AccessDenied, NameTooLong, ...
Result<std::unique_ptr<UnixListener>> open_unix_listener(std::string_view path);

// The unix-domain listeners of a configuration, one per listener index (none
// for inet listeners): start-up opens them in one call, and destroying the
// set after the workers are joined closes them.
class SharedListeners {
public:
  static Result<SharedListeners> open(const std::vector<config::ListenerConfig> &listeners);
  // One socket per listener for one worker, in listener order, registered
  // for read readiness in `queue`.
  Result<std::vector<ListenSocket>>
  sockets_for_worker(const std::vector<config::ListenerConfig> &listeners,
                     platform::EventQueue &queue) const;

private:
  std::vector<std::unique_ptr<UnixListener>> unix_; // index-aligned with the listeners
};

// Idempotent. Stops this worker's use of the listener: an inet socket is
// closed; the shared unix socket leaves this worker's queue and its path is
// removed (the first call of any worker removes it).
void close_listener(ListenSocket &listener, platform::EventQueue &queue) noexcept;

} // namespace corvane::milter
