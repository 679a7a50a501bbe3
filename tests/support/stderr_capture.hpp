#pragma once

#include <string>

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

} // namespace corvane::test
