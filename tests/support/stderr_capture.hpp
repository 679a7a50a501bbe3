#pragma once

#include <string>
#include <vector>

namespace corvane::test {

// Redirects this process's standard error into a temporary file for the
// lifetime of the object; text() returns what was written so far.
class StderrCapture {
public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture &) = delete;
  StderrCapture &operator=(const StderrCapture &) = delete;

  std::string text() const;

private:
  int saved_fd_ = -1;
  int file_fd_ = -1;
};

// The logged lines of a capture without their "ident[pid]: " prefix, every
// "elapsed=<n>ms" written "elapsed=Nms" so that lines compare exactly.
std::vector<std::string> log_messages(const std::string &captured);

} // namespace corvane::test
