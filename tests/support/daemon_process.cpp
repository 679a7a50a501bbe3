#include "support/daemon_process.hpp"

#include "support/wait_until.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace corvane::test {

namespace {

int open_output(const std::string &path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot create " + path);
  return fd;
}

} // namespace

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string without_pids(const std::string &text) {
  static const std::regex pid(R"(\[[0-9]+\])");
  return std::regex_replace(text, pid, "[PID]");
}

DaemonProcess::DaemonProcess(const std::string &program, const std::vector<std::string> &args,
                             const std::string &directory)
    : out_path_(directory + "/stdout.txt"), err_path_(directory + "/stderr.txt") {
  const int out = open_output(out_path_);
  const int err = open_output(err_path_);
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const auto &arg : args)
    argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // The child starts with default signal handling and an empty mask.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (::chdir(directory.c_str()) != 0 || ::dup2(null, 0) < 0 || ::dup2(out, 1) < 0 ||
        ::dup2(err, 2) < 0)
      ::_exit(127);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out);
  ::close(err);
}

DaemonProcess::~DaemonProcess() {
  if (!reaped_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::string DaemonProcess::err() const { return read_file(err_path_); }
std::string DaemonProcess::out() const { return read_file(out_path_); }

bool DaemonProcess::wait_for(const std::string &text, std::chrono::milliseconds limit) const {
  return wait_until([&] { return err().find(text) != std::string::npos; }, limit,
                    std::chrono::milliseconds(10));
}

void DaemonProcess::signal(int number) const { ::kill(pid_, number); }

int DaemonProcess::wait_exit(std::chrono::milliseconds limit) {
  if (reaped_) return status_;
  const auto ended = [this] {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
    reaped_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  };
  return wait_until(ended, limit, std::chrono::milliseconds(10)) ? status_ : -1;
}

} // namespace corvane::test
