#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace corvane::test {

// A ZeroMQ SUB socket bound on a loopback address and an ephemeral port,
// subscribed to everything, as an operator's subscriber would be: the daemon
// connects to it.
class TestSubscriber {
public:
  // `address` is "127.0.0.1" or "[::1]".
  explicit TestSubscriber(const std::string &address = "127.0.0.1");
  ~TestSubscriber();
  TestSubscriber(const TestSubscriber &) = delete;
  TestSubscriber &operator=(const TestSubscriber &) = delete;

  // The endpoint the socket is bound to, for the publisher to connect to.
  const std::string &endpoint() const { return endpoint_; }

  // The next frame, or nothing when none came within `timeout`. A message of
  // more than one frame fails the running test.
  std::optional<std::string> receive(std::chrono::milliseconds timeout);

private:
  void *context_ = nullptr;
  void *socket_ = nullptr;
  std::string endpoint_;
};

} // namespace corvane::test
