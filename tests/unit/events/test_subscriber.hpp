#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

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

// The publishing side paired with a subscriber. A PUB socket drops what it
// sends before the subscription has reached it, so markers (events whose
// client_ip is a tag) are sent until one is heard; after that a marker with a
// fresh tag (a fence) tells which frames came before it.
class FrameWire {
public:
  FrameWire(TestSubscriber &subscriber, std::function<void(const std::string &tag)> send_marker)
      : subscriber_(subscriber), send_marker_(std::move(send_marker)) {}

  bool join();
  // Sends a fence and returns every frame that came before it (late "sync"
  // markers left out).
  std::vector<std::string> frames_until_fence();

private:
  TestSubscriber &subscriber_;
  std::function<void(const std::string &tag)> send_marker_;
  int fences_ = 0;
};

} // namespace corvane::test
