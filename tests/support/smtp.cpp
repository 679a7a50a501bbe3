#include "support/smtp.hpp"

#include "support/wait_until.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace corvane::test {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(const std::string &address, std::uint16_t port) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &in.sin_addr) != 1)
    throw std::runtime_error("smtp: bad address " + address);
  return in;
}

// Reads one line (without CR LF) from `fd` into `line`, using `buffer` for
// what follows it; false at end of input or after `until`.
bool read_line(int fd, std::string &buffer, std::string &line, Clock::time_point until) {
  for (;;) {
    const auto end = buffer.find("\r\n");
    if (end != std::string::npos) {
      line = buffer.substr(0, end);
      buffer.erase(0, end + 2);
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return false;
    pollfd watch{fd, POLLIN, 0};
    if (::poll(&watch, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[4096];
    const ssize_t got = ::read(fd, chunk, sizeof(chunk));
    if (got <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(got));
  }
}

void write_all(int fd, const std::string &bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("smtp: write failed");
    done += static_cast<std::size_t>(n);
  }
}

std::string with_crlf_and_dots(const std::string &message) {
  std::string out;
  std::size_t start = 0;
  while (start < message.size()) {
    std::size_t end = message.find('\n', start);
    if (end == std::string::npos) end = message.size();
    std::string line = message.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.front() == '.') out += '.';
    out += line + "\r\n";
    start = end + 1;
  }
  return out;
}

} // namespace

SmtpClient::SmtpClient(const std::string &address, std::uint16_t port,
                       std::chrono::milliseconds timeout)
    : timeout_(timeout) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in in = loopback(address, port);
  if (::connect(fd_, reinterpret_cast<const sockaddr *>(&in), sizeof(in)) != 0) {
    ::close(fd_);
    throw std::runtime_error("smtp: cannot connect to port " + std::to_string(port));
  }
  greeting_ = read_reply();
}

SmtpClient::~SmtpClient() {
  if (fd_ >= 0) ::close(fd_);
}

SmtpReply SmtpClient::read_reply() {
  SmtpReply reply;
  const auto until = Clock::now() + timeout_;
  std::string line;
  for (;;) {
    if (!read_line(fd_, buffer_, line, until))
      throw std::runtime_error("smtp: no reply (so far: " + reply.text + ")");
    if (!reply.text.empty()) reply.text += '\n';
    reply.text += line;
    if (line.size() < 4 || line[3] != '-') break;
  }
  reply.code = std::atoi(line.substr(0, 3).c_str());
  return reply;
}

void SmtpClient::write(const std::string &bytes) { write_all(fd_, bytes); }

SmtpReply SmtpClient::command(const std::string &line) {
  write(line + "\r\n");
  return read_reply();
}

SmtpReply SmtpClient::send_message(const std::string &sender, const std::string &recipient,
                                   const std::string &message) {
  SmtpReply reply = command("MAIL FROM:<" + sender + ">");
  if (reply.code != 250) return reply;
  reply = command("RCPT TO:<" + recipient + ">");
  if (reply.code != 250) return reply;
  reply = command("DATA");
  if (reply.code != 354) return reply;
  write(with_crlf_and_dots(message) + ".\r\n");
  return read_reply();
}

SmtpSink::SmtpSink(const std::string &address) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in in = loopback(address, 0);
  socklen_t length = sizeof(in);
  if (::bind(listener_, reinterpret_cast<sockaddr *>(&in), sizeof(in)) != 0 ||
      ::listen(listener_, 64) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr *>(&in), &length) != 0)
    throw std::runtime_error("smtp sink: cannot listen");
  port_ = ntohs(in.sin_port);
  if (::pipe(wake_) != 0) throw std::runtime_error("smtp sink: pipe");
  thread_ = std::thread([this] { run(); });
}

SmtpSink::~SmtpSink() {
  [[maybe_unused]] const ssize_t written = ::write(wake_[1], "x", 1);
  thread_.join();
  {
    const std::lock_guard guard(mutex_);
    for (const int fd : connections_)
      ::shutdown(fd, SHUT_RDWR);
  }
  for (auto &server : servers_)
    server.join();
  for (const int fd : {listener_, wake_[0], wake_[1]})
    ::close(fd);
}

std::vector<ReceivedMail> SmtpSink::messages() const {
  const std::lock_guard guard(mutex_);
  return messages_;
}

bool SmtpSink::wait_for(std::size_t count, std::chrono::milliseconds limit) const {
  return wait_until([&] { return messages().size() >= count; }, limit,
                    std::chrono::milliseconds(20));
}

// A thread per connection: the MTA keeps connections open in its cache
// while it opens others.
void SmtpSink::run() {
  for (;;) {
    pollfd watch[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(watch, 2, -1) < 0) continue;
    if (watch[1].revents != 0) return;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const std::lock_guard guard(mutex_);
    connections_.push_back(fd);
    servers_.emplace_back([this, fd] {
      serve(fd);
      const std::lock_guard inner(mutex_);
      std::erase(connections_, fd);
      ::close(fd);
    });
  }
}

void SmtpSink::serve(int fd) {
  std::string buffer;
  std::string line;
  const auto until = [] { return Clock::now() + std::chrono::seconds(300); };
  try {
    write_all(fd, "220 sink.test ESMTP\r\n");
    ReceivedMail mail;
    while (read_line(fd, buffer, line, until())) {
      const std::string verb = line.substr(0, 4);
      if (verb == "EHLO" || verb == "HELO") {
        write_all(fd, "250-sink.test\r\n250 PIPELINING\r\n");
      } else if (verb == "MAIL") {
        mail = ReceivedMail{};
        mail.sender = line.substr(10);
        write_all(fd, "250 2.1.0 ok\r\n");
      } else if (verb == "RCPT") {
        mail.recipients.push_back(line.substr(8));
        write_all(fd, "250 2.1.5 ok\r\n");
      } else if (verb == "DATA") {
        write_all(fd, "354 go ahead\r\n");
        while (read_line(fd, buffer, line, until()) && line != ".")
          mail.data += (line.starts_with("..") ? line.substr(1) : line) + "\n";
        {
          const std::lock_guard guard(mutex_);
          messages_.push_back(mail);
        }
        write_all(fd, "250 2.0.0 kept\r\n");
      } else if (verb == "QUIT") {
        write_all(fd, "221 2.0.0 bye\r\n");
        return;
      } else {
        write_all(fd, "250 2.0.0 ok\r\n");
      }
    }
  } catch (const std::exception &) {
    // The MTA went away; what was kept stays.
  }
}

std::vector<std::pair<std::string, std::string>> message_headers(const std::string &data) {
  std::vector<std::pair<std::string, std::string>> headers;
  std::size_t start = 0;
  while (start < data.size()) {
    std::size_t end = data.find('\n', start);
    if (end == std::string::npos) end = data.size();
    const std::string line = data.substr(start, end - start);
    start = end + 1;
    if (line.empty()) break;
    if ((line[0] == ' ' || line[0] == '\t') && !headers.empty()) {
      headers.back().second += "\n" + line;
      continue;
    }
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.erase(0, 1);
    headers.emplace_back(line.substr(0, colon), value);
  }
  return headers;
}

} // namespace corvane::test
