#pragma once

#include "support/temp_dir.hpp"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace corvane::test {

// A program started in the background, its standard output and error going
// to files the test reads while it runs (so nothing can fill a pipe and stall
// it). Killed with SIGKILL on destruction if it is still running.
class DaemonProcess {
public:
  // Runs `program` with `args` in `directory` (the working directory).
  DaemonProcess(const std::string &program, const std::vector<std::string> &args,
                const std::string &directory);
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess &) = delete;
  DaemonProcess &operator=(const DaemonProcess &) = delete;

  pid_t pid() const { return pid_; }
  std::string err() const; // standard error so far
  std::string out() const;

  // Whether standard error holds `text` within `limit`.
  bool wait_for(const std::string &text,
                std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
  void signal(int number) const;
  // The exit status (or 128 + the signal that ended it); -1 when it did not
  // end within `limit`.
  int wait_exit(std::chrono::milliseconds limit = std::chrono::seconds(40));

private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1;
  std::string out_path_;
  std::string err_path_;
};

std::string read_file(const std::string &path);

// The text with every "[<digits>]" written "[PID]", so lines compare without
// knowing the process id.
std::string without_pids(const std::string &text);

} // namespace corvane::test
