#pragma once

#include "support/temp_dir.hpp"

#include <chrono>
#include <string>
#include <vector>

namespace corvane::test {

// The test's syslog daemon: a Unix datagram socket in a directory of its own
// that collects what the log code sends. It can be taken down and brought up
// again on the same path, as a restarting syslog daemon is.
class SyslogSocket {
public:
  SyslogSocket(); // bound at path()
  ~SyslogSocket();
  SyslogSocket(const SyslogSocket &) = delete;
  SyslogSocket &operator=(const SyslogSocket &) = delete;

  const std::string &path() const { return path_; }

  // Takes the socket down (its path goes too), brings it up again, or both:
  // whoever sent to the old one must find the new one.
  void stop();
  void start();
  void restart() {
    stop();
    start();
  }

  // The next datagram; empty when none came within `limit`.
  std::string receive(std::chrono::milliseconds limit = std::chrono::seconds(2));
  // The first datagram holding `text`, those before it dropped; empty when
  // none came within `limit`.
  std::string wait_for(const std::string &text,
                       std::chrono::milliseconds limit = std::chrono::seconds(5));
  // No datagram is waiting to be read.
  bool nothing_pending();

private:
  TempDir directory_;
  std::string path_;
  int fd_ = -1;
};

} // namespace corvane::test
