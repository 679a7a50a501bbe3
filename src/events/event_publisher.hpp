#pragma once

#include "events/evaluation_event.hpp"

#include <cstddef>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::events {

inline constexpr std::size_t k_max_endpoint_length = 511;
inline constexpr int k_send_high_water_mark = 1000;

// Where the events go. Installed once at start-up, before any worker thread
// exists, and read without a lock afterwards. No endpoint: publishing is off.
struct EventSettings {
  std::optional<std::string> endpoint;
  std::string topic = "dmarc.evaluation";
};
void install_event_settings(std::optional<std::string_view> endpoint, std::string_view topic);
const EventSettings &current_event_settings() noexcept;

// One thread's ZeroMQ context and PUB socket. ZeroMQ sockets are not
// thread-safe, so every worker has its own and no socket ever crosses threads.
// The socket connects to the endpoint and never binds: subscribers bind.
class EventPublisher {
public:
  EventPublisher() noexcept = default;
  EventPublisher(const EventPublisher &) = delete;
  EventPublisher &operator=(const EventPublisher &) = delete;
  // Closes the socket and destroys the context; with linger 0 neither waits
  // for unsent events.
  ~EventPublisher();

  // Whether set-up has run on this thread, successful or not. It runs once:
  // a thread whose set-up failed never tries again.
  bool is_set_up() const noexcept { return set_up_; }
  // False when publishing is off or set-up failed; sending is then a no-op.
  bool has_socket() const noexcept { return socket_ != nullptr; }
  std::string_view topic() const noexcept { return topic_; }

  // Sends "<topic> <json>" as one frame without waiting: with no subscriber
  // or a full queue the PUB socket drops it. The outcome is not examined.
  void send(std::string_view json) noexcept;

private:
  friend EventPublisher &thread_event_publisher() noexcept;
  void set_up(const EventSettings &settings) noexcept;
  void release() noexcept;

  void *context_ = nullptr;
  void *socket_ = nullptr;
  std::string topic_;
  bool set_up_ = false;
};

// The calling thread's publisher, set up from the installed settings on the
// thread's first call. It lives in thread-local storage: its destructor
// closes the socket and the context when the thread exits.
EventPublisher &thread_event_publisher() noexcept;

// Builds the record in `memory` (the message's arena) and sends it on this
// thread's publisher. Never blocks and never fails the caller: without a
// socket, or short of memory, the event is dropped silently.
void publish_event(const EvaluationEvent &event,
                   std::pmr::memory_resource *memory = std::pmr::get_default_resource()) noexcept;

} // namespace corvane::events
