#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace corvane::test {

struct ProcessRun {
  std::string program;           // path of the executable
  std::vector<std::string> args; // after the program name
  std::string stdin_text;        // written to its standard input, which is then closed
  std::chrono::milliseconds time_limit{10000};
  std::size_t max_output_bytes = 16 * 1024 * 1024; // per stream; the rest is read and dropped
};

struct ProcessResult {
  int exit_status = -1;   // the exit status, or -1 when it did not exit normally
  int signal = 0;         // the signal that ended it, if one did
  bool timed_out = false; // killed with SIGKILL after the time limit
  std::string out;
  std::string err;
};

// Runs the program to its end, feeding standard input and capturing standard
// output and standard error at the same time, so that no pipe can fill up and
// stall either side. Never waits past the time limit. Ignores SIGPIPE in the
// calling process, so that a child that closes its input early cannot end it.
ProcessResult run_process(const ProcessRun &run);

// How many descriptors the process holds open (from /proc/<pid>/fd).
std::size_t open_descriptors(pid_t pid = ::getpid());

} // namespace corvane::test
