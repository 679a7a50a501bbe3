#include "events/event_publisher.hpp"

#include "events/event_json.hpp"

#include <zmq.h>

#include <cstring>
#include <new>

namespace corvane::events {

namespace {

EventSettings g_settings;
thread_local EventPublisher t_publisher;

void set_int_option(void *socket, int option, int value) noexcept {
  (void)zmq_setsockopt(socket, option, &value, sizeof(value));
}

} // namespace

void install_event_settings(std::optional<std::string_view> endpoint, std::string_view topic) {
  EventSettings settings;
  if (endpoint) settings.endpoint = std::string(*endpoint);
  settings.topic = topic;
  g_settings = std::move(settings);
}

const EventSettings &current_event_settings() noexcept { return g_settings; }

EventPublisher::~EventPublisher() { release(); }

void EventPublisher::release() noexcept {
  if (socket_ != nullptr) (void)zmq_close(socket_);
  if (context_ != nullptr) (void)zmq_ctx_destroy(context_);
  socket_ = nullptr;
  context_ = nullptr;
}

void EventPublisher::set_up(const EventSettings &settings) noexcept {
  set_up_ = true;
  try {
    topic_ = settings.topic;
  } catch (const std::bad_alloc &) {
    return; // without its topic the thread publishes nothing
  }
  if (!settings.endpoint) return;
  const std::string &endpoint = *settings.endpoint;
  // zmq_connect reads a NUL-terminated text: an endpoint with a NUL inside
  // would connect somewhere other than what was configured.
  if (endpoint.size() > k_max_endpoint_length || endpoint.find('\0') != std::string::npos) return;
  context_ = zmq_ctx_new();
  if (context_ == nullptr) return;
  socket_ = zmq_socket(context_, ZMQ_PUB);
  if (socket_ == nullptr) {
    release();
    return;
  }
  // Linger 0: closing never waits for unsent events. The high-water mark
  // bounds what an absent subscriber can make the worker hold.
  set_int_option(socket_, ZMQ_LINGER, 0);
  set_int_option(socket_, ZMQ_SNDHWM, k_send_high_water_mark);
  if (endpoint.find('[') != std::string::npos) set_int_option(socket_, ZMQ_IPV6, 1);
  // An unreachable peer is accepted here and reconnected in the background;
  // only a text ZeroMQ cannot use fails.
  if (zmq_connect(socket_, endpoint.c_str()) != 0) release();
}

void EventPublisher::send(std::string_view json) noexcept {
  if (socket_ == nullptr) return;
  zmq_msg_t message;
  if (zmq_msg_init_size(&message, topic_.size() + 1 + json.size()) != 0) return;
  auto *data = static_cast<char *>(zmq_msg_data(&message));
  std::memcpy(data, topic_.data(), topic_.size());
  data[topic_.size()] = ' ';
  std::memcpy(data + topic_.size() + 1, json.data(), json.size());
  (void)zmq_msg_send(&message, socket_, ZMQ_DONTWAIT);
  // A sent message has been emptied by ZeroMQ; one that was not sent still
  // holds its buffer. Closing releases it either way.
  (void)zmq_msg_close(&message);
}

EventPublisher &thread_event_publisher() noexcept {
  if (!t_publisher.set_up_) t_publisher.set_up(g_settings);
  return t_publisher;
}

void publish_event(const EvaluationEvent &event, std::pmr::memory_resource *memory) noexcept {
  // No socket, no record: a thread that publishes nothing builds nothing.
  EventPublisher &publisher = thread_event_publisher();
  if (!publisher.has_socket()) return;
  const auto json = format_event_json(event, memory);
  if (!json) return;
  publisher.send(*json);
}

} // namespace corvane::events
