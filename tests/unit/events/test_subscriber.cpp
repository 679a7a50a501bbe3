#include "unit/events/test_subscriber.hpp"

#include <gtest/gtest.h>
#include <zmq.h>

#include <stdexcept>

namespace corvane::test {

namespace {

[[noreturn]] void fail(const char *what) {
  throw std::runtime_error(std::string(what) + ": " + zmq_strerror(zmq_errno()));
}

} // namespace

TestSubscriber::TestSubscriber(const std::string &address) {
  context_ = zmq_ctx_new();
  if (context_ == nullptr) fail("zmq_ctx_new");
  socket_ = zmq_socket(context_, ZMQ_SUB);
  if (socket_ == nullptr) fail("zmq_socket");
  const int zero = 0;
  const int one = 1;
  zmq_setsockopt(socket_, ZMQ_LINGER, &zero, sizeof(zero));
  if (address.starts_with("[")) zmq_setsockopt(socket_, ZMQ_IPV6, &one, sizeof(one));
  if (zmq_setsockopt(socket_, ZMQ_SUBSCRIBE, "", 0) != 0) fail("ZMQ_SUBSCRIBE");
  if (zmq_bind(socket_, ("tcp://" + address + ":*").c_str()) != 0) fail("zmq_bind");
  char bound[256] = {};
  std::size_t size = sizeof(bound);
  if (zmq_getsockopt(socket_, ZMQ_LAST_ENDPOINT, bound, &size) != 0) fail("ZMQ_LAST_ENDPOINT");
  endpoint_ = bound;
}

TestSubscriber::~TestSubscriber() {
  if (socket_ != nullptr) zmq_close(socket_);
  if (context_ != nullptr) zmq_ctx_destroy(context_);
}

std::optional<std::string> TestSubscriber::receive(std::chrono::milliseconds timeout) {
  zmq_pollitem_t item{socket_, 0, ZMQ_POLLIN, 0};
  if (zmq_poll(&item, 1, static_cast<long>(timeout.count())) <= 0) return std::nullopt;
  zmq_msg_t message;
  zmq_msg_init(&message);
  if (zmq_msg_recv(&message, socket_, ZMQ_DONTWAIT) < 0) {
    zmq_msg_close(&message);
    return std::nullopt;
  }
  std::string frame(static_cast<const char *>(zmq_msg_data(&message)), zmq_msg_size(&message));
  const bool more = zmq_msg_more(&message) != 0;
  zmq_msg_close(&message);
  if (more) ADD_FAILURE() << "an event arrived as more than one frame: " << frame;
  return frame;
}

bool FrameWire::join() {
  for (int attempt = 0; attempt < 400; ++attempt) {
    send_marker_("sync");
    if (subscriber_.receive(std::chrono::milliseconds(25))) {
      frames_until_fence();
      return true;
    }
  }
  return false;
}

std::vector<std::string> FrameWire::frames_until_fence() {
  const std::string tag = "fence-" + std::to_string(++fences_);
  send_marker_(tag);
  const std::string seen = "{\"client_ip\":\"" + tag + "\"";
  std::vector<std::string> frames;
  while (auto received = subscriber_.receive(std::chrono::seconds(5))) {
    if (received->find(seen) != std::string::npos) return frames;
    if (received->find("{\"client_ip\":\"sync\"") == std::string::npos)
      frames.push_back(std::move(*received));
  }
  ADD_FAILURE() << "the fence never arrived";
  return frames;
}

} // namespace corvane::test
