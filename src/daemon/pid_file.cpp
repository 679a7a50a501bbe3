#include "daemon/process_setup.hpp"

#include "core/ascii.hpp"
#include "core/number.hpp"
#include "core/terminated_path.hpp"
#include "core/unique_fd.hpp"
#include "core/write_all.hpp"
#include "log/log.hpp"
#include "platform/no_follow_error.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>

namespace corvane::daemon {

namespace {

constexpr std::size_t k_pid_text_bytes = 32;

// Up to 32 bytes of the file, or nothing when it cannot be read. Opened
// non-blocking, so a FIFO at the path cannot hold start-up.
std::optional<std::string> read_pid_text(std::string_view path) {
  const auto terminated = terminated_path(path);
  if (!terminated) return std::nullopt;
  const UniqueFd fd(::open(terminated->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return std::nullopt;
  std::array<char, k_pid_text_bytes> bytes;
  std::size_t used = 0;
  while (used < bytes.size()) {
    const ssize_t got = ::read(fd.get(), bytes.data() + used, bytes.size() - used);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  return std::string(bytes.data(), used);
}

bool process_exists(pid_t pid) noexcept {
  // A refusal for lack of permission still means someone has that pid.
  return ::kill(pid, 0) == 0 || errno != ESRCH;
}

} // namespace

Result<void> check_pid_file(std::string_view path) {
  const auto text = read_pid_text(path);
  if (!text) return {};
  const auto pid = read_i32(trim(*text, TrimSet::SpTabCrLf));
  if (!pid || *pid <= 0) return {};
  if (*pid == ::getpid() || *pid == ::getppid() || !process_exists(*pid)) return {};
  log::log_message(log::Severity::err, "pid file ", path, " is held by live process ", *pid,
                   "; refusing to start a second instance");
  return Error::AlreadyRunning;
}

Result<void> write_pid_file(std::string_view path) {
  const auto terminated = terminated_path(path);
  if (!terminated) return terminated.error();
  // A stale file goes first and the new one is created afresh: opening an
  // existing name could truncate whatever file the daemon's user linked
  // there, hard links included.
  if (::unlink(terminated->c_str()) != 0 && errno != ENOENT) return error_from_errno(errno);
  const int fd =
      ::open(terminated->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return platform::no_follow_open_error(errno);
  const std::string line = std::to_string(::getpid()) + "\n";
  if (auto written = write_all(fd, line); !written) {
    ::close(fd);
    return written.error();
  }
  if (::close(fd) != 0 && errno != EINTR) return error_from_errno(errno);
  return {};
}

void remove_pid_file(std::string_view path) noexcept {
  if (const auto terminated = terminated_path(path)) (void)::unlink(terminated->c_str());
}

} // namespace corvane::daemon
