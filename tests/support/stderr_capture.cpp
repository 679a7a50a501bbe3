#include "support/stderr_capture.hpp"

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace corvane::test {

StderrCapture::StderrCapture() {
  char path[] = "/tmp/corvane-stderr-XXXXXX";
  file_fd_ = ::mkstemp(path);
  if (file_fd_ < 0) throw std::runtime_error("mkstemp failed");
  ::unlink(path);
  std::fflush(stderr);
  saved_fd_ = ::dup(STDERR_FILENO);
  ::dup2(file_fd_, STDERR_FILENO);
}

StderrCapture::~StderrCapture() {
  std::fflush(stderr);
  ::dup2(saved_fd_, STDERR_FILENO);
  ::close(saved_fd_);
  ::close(file_fd_);
}

std::string StderrCapture::text() const {
  std::fflush(stderr);
  std::string out;
  char buffer[4096];
  off_t offset = 0;
  for (;;) {
    const ssize_t n = ::pread(file_fd_, buffer, sizeof(buffer), offset);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
    offset += n;
  }
  return out;
}

std::vector<std::string> log_messages(const std::string &captured) {
  static const std::regex elapsed("elapsed=[0-9]+ms");
  std::vector<std::string> lines;
  std::istringstream in(captured);
  for (std::string line; std::getline(in, line);) {
    const std::size_t prefix = line.find("]: ");
    if (prefix != std::string::npos) line.erase(0, prefix + 3);
    lines.push_back(std::regex_replace(line, elapsed, "elapsed=Nms"));
  }
  return lines;
}

} // namespace corvane::test
