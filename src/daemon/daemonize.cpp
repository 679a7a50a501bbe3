#include "daemon/process_setup.hpp"

#include "platform/readiness_wait.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace corvane::daemon {

namespace {

Error pipe_error(int error) noexcept {
  if (error == EMFILE) return Error::ProcessFdQuotaExceeded;
  if (error == ENFILE) return Error::SystemFdQuotaExceeded;
  return Error::Unexpected;
}

Error fork_error(int error) noexcept {
  return error == EAGAIN || error == ENOMEM ? Error::SystemResources : Error::Unexpected;
}

// The process that was started from the command line: it exits 0 only when
// the daemon reports ready in time. The daemon's death closes the pipe, which
// ends the wait at once.
[[noreturn]] void wait_for_daemon(int read_end) noexcept {
  const auto readable = platform::wait_readable(read_end, k_readiness_wait_ms);
  char byte = 0;
  ssize_t got = -1;
  if (readable && *readable) {
    do {
      got = ::read(read_end, &byte, 1);
    } while (got < 0 && errno == EINTR);
  }
  ::_exit(got == 1 && byte == k_ready_byte ? 0 : 1);
}

Result<void> redirect_standard_streams() noexcept {
  const int null = ::open("/dev/null", O_RDWR);
  if (null < 0) return error_from_errno(errno);
  for (int target = 0; target <= 2; ++target) {
    if (null != target && ::dup2(null, target) < 0) {
      const Error error = error_from_errno(errno);
      if (null > 2) ::close(null);
      return error;
    }
  }
  if (null > 2) ::close(null);
  return {};
}

} // namespace

Result<int> daemonize() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return pipe_error(errno);
  const pid_t first = ::fork();
  if (first < 0) {
    const Error error = fork_error(errno);
    ::close(ends[0]);
    ::close(ends[1]);
    return error;
  }
  if (first > 0) {
    ::close(ends[1]);
    wait_for_daemon(ends[0]);
  }
  ::close(ends[0]);
  (void)::setsid();
  const pid_t second = ::fork();
  if (second < 0) {
    const Error error = fork_error(errno);
    ::close(ends[1]);
    return error;
  }
  if (second > 0) ::_exit(0);
  if (auto redirected = redirect_standard_streams(); !redirected) return redirected.error();
  return ends[1];
}

void notify_parent(int startup_pipe) noexcept {
  const char ready = k_ready_byte;
  ssize_t written = 0;
  do {
    written = ::write(startup_pipe, &ready, 1);
  } while (written < 0 && errno == EINTR);
  ::close(startup_pipe);
}

} // namespace corvane::daemon
