#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace corvane::test {

struct SmtpReply {
  int code = 0;
  std::string text; // every line of the reply, CR LF removed, lines joined with LF
};

// The sending side of an SMTP session, blocking with a timeout. Failures to
// connect, read or write throw std::runtime_error.
class SmtpClient {
public:
  SmtpClient(const std::string &address, std::uint16_t port,
             std::chrono::milliseconds timeout = std::chrono::seconds(30));
  ~SmtpClient();
  SmtpClient(SmtpClient &&other) noexcept
      : fd_(std::exchange(other.fd_, -1)), timeout_(other.timeout_),
        buffer_(std::move(other.buffer_)), greeting_(std::move(other.greeting_)) {}
  SmtpClient(const SmtpClient &) = delete;
  SmtpClient &operator=(const SmtpClient &) = delete;

  const SmtpReply &greeting() const { return greeting_; }
  SmtpReply command(const std::string &line); // sends line + CR LF
  // MAIL, RCPT, DATA and the message (LF ends lines; dots are stuffed): the
  // reply to the final dot, or the first refusal on the way.
  SmtpReply send_message(const std::string &sender, const std::string &recipient,
                         const std::string &message);

private:
  SmtpReply read_reply();
  void write(const std::string &bytes);

  int fd_ = -1;
  std::chrono::milliseconds timeout_;
  std::string buffer_;
  SmtpReply greeting_;
};

struct ReceivedMail {
  std::string sender;
  std::vector<std::string> recipients;
  std::string data; // as received, dots unstuffed, lines ending in LF
};

// The receiving end of the MTA's deliveries: accepts every message on a
// loopback port and keeps it. Runs on its own thread until destroyed.
class SmtpSink {
public:
  explicit SmtpSink(const std::string &address = "127.0.0.1");
  ~SmtpSink();
  SmtpSink(const SmtpSink &) = delete;
  SmtpSink &operator=(const SmtpSink &) = delete;

  std::uint16_t port() const { return port_; }
  std::vector<ReceivedMail> messages() const;
  // Waits until at least `count` messages arrived; false on time-out.
  bool wait_for(std::size_t count,
                std::chrono::milliseconds limit = std::chrono::seconds(30)) const;

private:
  void run();
  void serve(int fd);

  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::vector<ReceivedMail> messages_;
  std::vector<int> connections_;     // open ones, shut down at the end
  std::vector<std::thread> servers_; // one per connection
  std::thread thread_;
};

// The headers of a message text, unfolded: name and value of each, in order.
std::vector<std::pair<std::string, std::string>> message_headers(const std::string &data);

} // namespace corvane::test
