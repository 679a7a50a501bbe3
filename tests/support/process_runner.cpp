#include "support/process_runner.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace corvane::test {

namespace {

using Clock = std::chrono::steady_clock;

class Pipe {
public:
  Pipe() {
    if (::pipe2(fds_, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  }
  ~Pipe() {
    close_read();
    close_write();
  }
  Pipe(const Pipe &) = delete;
  Pipe &operator=(const Pipe &) = delete;
  int read_end() const noexcept { return fds_[0]; }
  int write_end() const noexcept { return fds_[1]; }
  void close_read() noexcept { close_fd(fds_[0]); }
  void close_write() noexcept { close_fd(fds_[1]); }

private:
  static void close_fd(int &fd) noexcept {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  int fds_[2] = {-1, -1};
};

[[noreturn]] void exec_child(const ProcessRun &run, Pipe &in, Pipe &out, Pipe &err) {
  if (::dup2(in.read_end(), STDIN_FILENO) < 0 || ::dup2(out.write_end(), STDOUT_FILENO) < 0 ||
      ::dup2(err.write_end(), STDERR_FILENO) < 0)
    ::_exit(127);
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(run.program.c_str()));
  for (const auto &arg : run.args)
    argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  ::execv(run.program.c_str(), argv.data());
  ::_exit(127);
}

void set_nonblocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Reads what is there; false once the stream has ended.
bool drain(int fd, std::string &into, std::size_t limit) {
  char buffer[8192];
  while (true) {
    const ::ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      const auto room = limit > into.size() ? limit - into.size() : 0;
      into.append(buffer, std::min(room, static_cast<std::size_t>(got)));
      continue;
    }
    if (got == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

// Moves the parent's side of the pipes until the child has closed its output
// or the time is up.
bool pump(const ProcessRun &run, Pipe &in, Pipe &out, Pipe &err, ProcessResult &result) {
  const auto deadline = Clock::now() + run.time_limit;
  std::size_t written = 0;
  if (run.stdin_text.empty()) in.close_write();
  bool out_open = true;
  bool err_open = true;
  while (out_open || err_open) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd fds[3] = {{out_open ? out.read_end() : -1, POLLIN, 0},
                     {err_open ? err.read_end() : -1, POLLIN, 0},
                     {in.write_end(), POLLOUT, 0}};
    if (::poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    if (out_open && fds[0].revents != 0)
      out_open = drain(out.read_end(), result.out, run.max_output_bytes);
    if (err_open && fds[1].revents != 0)
      err_open = drain(err.read_end(), result.err, run.max_output_bytes);
    if (in.write_end() >= 0 && fds[2].revents != 0) {
      const ::ssize_t put =
          ::write(in.write_end(), run.stdin_text.data() + written, run.stdin_text.size() - written);
      if (put > 0) written += static_cast<std::size_t>(put);
      if ((put < 0 && errno != EAGAIN && errno != EINTR) || written == run.stdin_text.size())
        in.close_write();
    }
  }
  return true;
}

bool wait_until(pid_t pid, Clock::time_point deadline, int &status) {
  while (true) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return true;
    if (done < 0 && errno != EINTR) return true;
    if (Clock::now() >= deadline) return false;
    ::usleep(1000);
  }
}

} // namespace

std::size_t open_descriptors(pid_t pid) {
  std::size_t count = 0;
  std::error_code ignored;
  for ([[maybe_unused]] const auto &entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored))
    ++count;
  return count;
}

ProcessResult run_process(const ProcessRun &run) {
  std::signal(SIGPIPE, SIG_IGN);
  Pipe in, out, err;
  const auto started = Clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) exec_child(run, in, out, err);
  in.close_read();
  out.close_write();
  err.close_write();
  set_nonblocking(in.write_end());
  set_nonblocking(out.read_end());
  set_nonblocking(err.read_end());

  ProcessResult result;
  int status = 0;
  const bool finished =
      pump(run, in, out, err, result) && wait_until(pid, started + run.time_limit, status);
  if (!finished) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    result.timed_out = true;
  }
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

} // namespace corvane::test
