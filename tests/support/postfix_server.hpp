#pragma once

#include "support/temp_dir.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane::test {

// One smtpd of the instance: its loopback port and its smtpd_milters value
// ("inet:127.0.0.1:8894", "unix:/path", or empty for none).
struct PostfixSmtpd {
  std::uint16_t port = 0;
  std::string milters;
};

struct PostfixOptions {
  std::vector<PostfixSmtpd> smtpd;
  std::uint16_t relay_port = 0;     // every message is relayed to 127.0.0.1 at this port
  std::vector<std::string> main_cf; // more main.cf lines
};

// A private Postfix instance for end-to-end tests: its own configuration,
// queue and data directories under /tmp, smtpd on loopback ports only,
// milter protocol 6 with tempfail as the default action, every message
// relayed to one loopback port, its log in a file. Started with
// `postfix -c <dir> start` as root; stopped (and every process of it gone)
// when destroyed, so no MTA is left running.
class PostfixServer {
public:
  static std::optional<std::string> postfix_path();

  explicit PostfixServer(PostfixOptions options);
  ~PostfixServer();
  PostfixServer(const PostfixServer &) = delete;
  PostfixServer &operator=(const PostfixServer &) = delete;

  std::string log() const;
  // Whether the log holds `text` within `limit`.
  bool wait_for_log(const std::string &text,
                    std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
  // Messages waiting in the queue (postqueue -p).
  std::string queue() const;
  const std::string &directory() const { return directory_; }

private:
  void stop();

  PostfixOptions options_;
  TempDir temp_;
  std::string directory_ = temp_.path();
};

} // namespace corvane::test
