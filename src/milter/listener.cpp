#include "milter/listener.hpp"

#include "core/socket_address.hpp"

#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace corvane::milter {

namespace {

Result<void> bind_and_listen(int fd, const sockaddr_storage &address, socklen_t length,
                             ListenSocket *bound) noexcept {
  if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), length) != 0 ||
      ::listen(fd, k_listen_backlog) != 0)
    return error_from_errno(errno);
  if (bound != nullptr) {
    bound->bound_length = sizeof(bound->bound);
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&bound->bound), &bound->bound_length) != 0)
      return error_from_errno(errno);
  }
  return {};
}

// Only a socket left by an earlier run is removed before binding.
void remove_stale_socket(const char *path) noexcept {
  struct stat status {};
  if (::lstat(path, &status) == 0 && S_ISSOCK(status.st_mode)) (void)::unlink(path);
}

} // namespace

Result<void> enable_socket_option(int fd, int level, int option) noexcept {
  const int on = 1;
  if (::setsockopt(fd, level, option, &on, sizeof(on)) != 0) return error_from_errno(errno);
  return {};
}

UnixListener::~UnixListener() { remove_path(); }

void UnixListener::remove_path() noexcept {
  if (path_removed_.exchange(true)) return;
  (void)::unlink(path_.c_str());
}

Result<ListenSocket> open_listener(const config::ListenAddress &address) {
  ListenSocket listener;
  listener.address = address;
  const auto bind_address = socket_address(address.host, address.port);
  if (!bind_address) return Error::InvalidHost;
  listener.owned.reset(
      ::socket(bind_address->family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!listener.owned) return error_from_errno(errno);
  const int fd = listener.owned.get();
  if (auto set = enable_socket_option(fd, SOL_SOCKET, SO_REUSEADDR); !set) return set.error();
  if (auto set = enable_socket_option(fd, SOL_SOCKET, SO_REUSEPORT); !set) return set.error();
  if (auto bound = bind_and_listen(fd, bind_address->storage, bind_address->length, &listener);
      !bound)
    return bound.error();
  listener.socket = fd;
  return listener;
}

Result<std::unique_ptr<UnixListener>> open_unix_listener(std::string_view path) {
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof(address.sun_path) ||
      path.find('\0') != std::string_view::npos)
    return Error::InvalidPath;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  remove_stale_socket(address.sun_path);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return error_from_errno(errno);
  if (auto set = enable_socket_option(fd.get(), SOL_SOCKET, SO_REUSEADDR); !set) return set.error();
  sockaddr_storage storage{};
  std::memcpy(&storage, &address, sizeof(address));
  if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&storage), sizeof(address)) != 0)
    return error_from_errno(errno);
  // From here the path is ours: a failure removes it again.
  auto listener = std::make_unique<UnixListener>(std::move(fd), std::string(path));
  if (::listen(listener->socket(), k_listen_backlog) != 0) return error_from_errno(errno);
  return listener;
}

Result<SharedListeners>
SharedListeners::open(const std::vector<config::ListenerConfig> &listeners) {
  SharedListeners shared;
  for (const auto &listener : listeners) {
    if (listener.address.kind != config::ListenAddress::Kind::unix_domain) {
      shared.unix_.emplace_back();
      continue;
    }
    auto opened = open_unix_listener(listener.address.path);
    if (!opened) return opened.error();
    shared.unix_.push_back(std::move(*opened));
  }
  return shared;
}

Result<std::vector<ListenSocket>>
SharedListeners::sockets_for_worker(const std::vector<config::ListenerConfig> &listeners,
                                    platform::EventQueue &queue) const {
  std::vector<ListenSocket> sockets;
  sockets.reserve(listeners.size());
  for (std::size_t i = 0; i < listeners.size(); ++i) {
    ListenSocket socket;
    if (i < unix_.size() && unix_[i]) {
      socket.address = listeners[i].address;
      socket.unix_domain = true;
      socket.shared = unix_[i].get();
      socket.socket = socket.shared->socket();
    } else {
      auto opened = open_listener(listeners[i].address);
      if (!opened) return opened.error();
      socket = std::move(*opened);
    }
    queue.watch_read(socket.socket);
    socket.registered = socket.socket;
    sockets.push_back(std::move(socket));
  }
  return sockets;
}

void close_listener(ListenSocket &listener, platform::EventQueue &queue) noexcept {
  if (listener.registered < 0) return;
  if (listener.shared != nullptr) {
    queue.forget(listener.socket);
    listener.shared->remove_path();
  } else {
    listener.owned.reset(); // closing drops the queue's registration
  }
  listener.registered = -1;
}

} // namespace corvane::milter
