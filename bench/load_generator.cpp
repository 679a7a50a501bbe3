#include "load_generator.hpp"

#include "core/number.hpp"
#include "latency_histogram.hpp"
#include "support/milter_client.hpp"

#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <vector>

namespace corvane::bench {

namespace {

using Clock = std::chrono::steady_clock;
using test::frame;
using test::MilterPacket;

// One read per readiness event takes at most this much; answers are small, so
// one read normally holds every packet that is waiting.
constexpr std::size_t k_read_chunk = 65536;

// A message body of 1 KiB: 16 lines of 62 letters and CR LF.
std::string one_kib_body() {
  std::string body;
  for (int line = 0; line < 16; ++line)
    body += std::string(62, static_cast<char>('a' + line)) + "\r\n";
  return body;
}

// The bytes of one message and where each command that expects an answer ends
// (macros travel in the same write as their command, as MTAs send them).
struct Conversation {
  std::string bytes;
  std::vector<std::size_t> unit_ends;

  void clear() {
    bytes.clear();
    unit_ends.clear();
  }
  void add(const MilterPacket &packet) { bytes += frame(packet); }
  void add_unit(const MilterPacket &packet) {
    add(packet);
    unit_ends.push_back(bytes.size());
  }
};

// Message k: macros, MAIL, RCPT, ten headers, end of headers, a 1 KiB body,
// end of message.
class MessageBuilder {
public:
  explicit MessageBuilder(const LoadOptions &options) : options_(options), body_(one_kib_body()) {}

  void build(std::uint64_t k, Conversation &out) const {
    const std::string domain =
        options_.from_domains == 0
            ? options_.from_domain
            : std::string("d").append(std::to_string(k % options_.from_domains)) + "." +
                  options_.from_domain;
    std::string queue_id = "Q"; // (not "Q" + ...: g++ 12 warns falsely on that form)
    queue_id += std::to_string(k);
    const std::string sender = "bounce@" + domain;
    out.clear();
    out.add(test::macro_packet('M', {{"i", queue_id}, {"{mail_addr}", sender}}));
    out.add_unit(test::mail_packet("<" + sender + ">", {"SIZE=2048"}));
    out.add(test::macro_packet('R', {{"{rcpt_addr}", "user@example.net"}}));
    out.add_unit(test::rcpt_packet("<user@example.net>"));
    const std::pair<std::string, std::string> headers[] = {
        {"Received", "from mail.example.org (mail.example.org [192.0.2.10])\n\tby " +
                         options_.authserv_id + " with ESMTP id " + queue_id +
                         "\n\tfor <user@example.net>; Mon, 1 Jan 2024 00:00:00 +0000"},
        {"Authentication-Results", options_.authserv_id + ";\n\tspf=pass smtp.mailfrom=" + domain +
                                       ";\n\tdkim=pass header.d=" + domain + " header.s=sel"},
        {"DKIM-Signature", "v=1; a=rsa-sha256; c=relaxed/relaxed; d=" + domain +
                               "; s=sel;\n\th=from:to:subject:date:message-id;\n\tbh="
                               "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=;\n\tb=" +
                               std::string(172, 'A')},
        {"From", "Sender <sender@" + domain + ">"},
        {"To", "User <user@example.net>"},
        {"Subject", "load test message " + std::to_string(k)},
        {"Date", "Mon, 1 Jan 2024 00:00:00 +0000"},
        {"Message-ID", "<" + queue_id + "@" + domain + ">"},
        {"MIME-Version", "1.0"},
        {"Content-Type", "text/plain; charset=us-ascii"},
    };
    for (const auto &[name, value] : headers)
      out.add_unit(test::header_packet(name, value));
    out.add_unit(test::end_of_headers_packet());
    out.add_unit(test::body_packet(body_));
    out.add(test::macro_packet('E', {{"i", queue_id}}));
    out.add_unit(test::end_of_message_packet());
  }

private:
  const LoadOptions &options_;
  std::string body_;
};

struct Connection {
  int fd = -1;
  bool open = false;
  Conversation message;
  std::size_t sent_units = 0;
  std::size_t answered_units = 0;
  std::string out;
  std::size_t out_at = 0;
  bool watching_writes = false;
  std::string in;
  std::size_t in_at = 0;
  Clock::time_point message_start;
  Clock::time_point previous_answer;
  Clock::time_point last_progress;
};

// CPU time of the calling thread, user and system.
double thread_cpu_seconds() {
  rusage usage{};
  if (::getrusage(RUSAGE_THREAD, &usage) != 0) return 0;
  const auto seconds = [](const timeval &t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double microseconds(std::uint64_t ns) { return static_cast<double>(ns) / 1000.0; }

LatencySummary summary(const LatencyHistogram &histogram) {
  return {microseconds(histogram.percentile(0.50)), microseconds(histogram.percentile(0.99)),
          microseconds(histogram.max())};
}

std::uint64_t ns_between(Clock::time_point from, Clock::time_point to) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count());
}

// Negotiation, connect and HELO with the blocking test client; the socket is
// then driven by the loop.
int open_connection(const LoadOptions &options, unsigned index) {
  const test::MilterClientOptions client_options{.timeout = options.reply_timeout};
  auto client = options.endpoint.unix_path.empty()
                    ? test::MilterClient::open_tcp(options.endpoint.host, options.endpoint.port,
                                                   client_options)
                    : test::MilterClient::open_unix(options.endpoint.unix_path, client_options);
  const auto negotiated = client.negotiate();
  if (negotiated.version != 6)
    throw std::runtime_error("negotiation answered version " + std::to_string(negotiated.version));
  const test::ConnectCommand connect{"client" + std::to_string(index) + ".example.org", '4',
                                     static_cast<std::uint16_t>(40000 + index % 20000),
                                     "192.0.2." + std::to_string(1 + index % 254)};
  client.macros('C', {{"j", "mx.example.net"},
                      {"{daemon_name}", "milter_load"},
                      {"{client_addr}", connect.address},
                      {"{client_name}", connect.host}});
  const char connect_answer = client.connect(connect).back().code;
  const char helo_answer = client.helo(connect.host).back().code;
  if (connect_answer != 'c' || helo_answer != 'c')
    throw std::runtime_error(std::string("connect and HELO answered '") + connect_answer +
                             "' and '" + helo_answer + "'");
  return client.release_fd();
}

class LoadLoop {
public:
  explicit LoadLoop(const LoadOptions &options) : options_(options), builder_(options) {}
  ~LoadLoop() {
    for (auto &connection : connections_)
      if (connection.open) ::close(connection.fd);
    if (epoll_ >= 0) ::close(epoll_);
  }

  LoadReport run() {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
      fail_setup(std::string("epoll_create1: ") + std::strerror(errno));
      return finish_report();
    }
    connections_.resize(options_.connections);
    for (unsigned i = 0; i < options_.connections; ++i)
      open(i);
    start_ = Clock::now();
    last_answer_ = start_;
    start_cpu_ = thread_cpu_seconds();
    end_ = start_ + options_.duration;
    for (auto &connection : connections_)
      if (connection.open) start_message(connection);
    loop();
    report_.cpu_seconds = thread_cpu_seconds() - start_cpu_;
    return finish_report();
  }

private:
  void open(unsigned index) {
    Connection &connection = connections_[index];
    try {
      connection.fd = open_connection(options_, index);
    } catch (const std::exception &failure) {
      fail_setup(failure.what());
      return;
    }
    connection.open = true;
    ++live_;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u32 = index;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, connection.fd, &event);
  }

  void loop() {
    epoll_event events[256];
    auto next_timeout_check = Clock::now();
    while (live_ > 0) {
      const int ready = ::epoll_wait(epoll_, events, 256, 50);
      if (ready < 0 && errno != EINTR) {
        fail_setup(std::string("epoll_wait: ") + std::strerror(errno));
        return;
      }
      for (int i = 0; i < ready; ++i) {
        Connection &connection = connections_[events[i].data.u32];
        if (connection.open && (events[i].events & EPOLLOUT) != 0) flush(connection);
        if (connection.open && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0)
          receive(connection);
      }
      const auto now = Clock::now();
      if (now >= next_timeout_check) {
        check_timeouts(now);
        next_timeout_check = now + std::chrono::milliseconds{100};
      }
    }
  }

  void check_timeouts(Clock::time_point now) {
    for (auto &connection : connections_)
      if (connection.open && now - connection.last_progress > options_.reply_timeout)
        fail(connection,
             "no answer within " + std::to_string(options_.reply_timeout.count()) + " ms");
  }

  bool run_is_over(Clock::time_point now) const {
    return options_.messages > 0 ? started_ >= options_.messages : now >= end_;
  }

  void start_message(Connection &connection) {
    const auto now = Clock::now();
    if (run_is_over(now)) {
      quit(connection);
      return;
    }
    builder_.build(started_++, connection.message);
    connection.sent_units = 0;
    connection.answered_units = 0;
    connection.message_start = now;
    connection.previous_answer = now;
    connection.last_progress = now;
    send_units(connection);
  }

  // Lockstep: the next command once the previous one is answered. Pipeline:
  // everything at once.
  void send_units(Connection &connection) {
    const auto &ends = connection.message.unit_ends;
    if (connection.sent_units != connection.answered_units) return;
    const std::size_t last = options_.pipeline ? ends.size() : connection.sent_units + 1;
    const std::size_t from = connection.sent_units == 0 ? 0 : ends[connection.sent_units - 1];
    connection.out.append(connection.message.bytes, from, ends[last - 1] - from);
    connection.sent_units = last;
    flush(connection);
  }

  void flush(Connection &connection) {
    while (connection.out_at < connection.out.size()) {
      const ssize_t sent = ::send(connection.fd, connection.out.data() + connection.out_at,
                                  connection.out.size() - connection.out_at, MSG_NOSIGNAL);
      if (sent > 0) {
        connection.out_at += static_cast<std::size_t>(sent);
      } else if (sent < 0 && errno == EAGAIN) {
        watch_writes(connection, true);
        return;
      } else if (sent < 0 && errno != EINTR) {
        fail(connection, std::string("send: ") + std::strerror(errno));
        return;
      }
    }
    connection.out.clear();
    connection.out_at = 0;
    watch_writes(connection, false);
  }

  void watch_writes(Connection &connection, bool on) {
    if (connection.watching_writes == on) return;
    connection.watching_writes = on;
    epoll_event event{};
    event.events = EPOLLIN | (on ? EPOLLOUT : 0u);
    event.data.u32 = static_cast<std::uint32_t>(&connection - connections_.data());
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, connection.fd, &event);
  }

  void receive(Connection &connection) {
    char chunk[k_read_chunk];
    const ssize_t got = ::recv(connection.fd, chunk, sizeof(chunk), 0);
    if (got <= 0) {
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
      fail(connection, got == 0 ? std::string("the filter closed the connection")
                                : std::string("recv: ") + std::strerror(errno));
      return;
    }
    connection.last_progress = Clock::now();
    connection.in.append(chunk, static_cast<std::size_t>(got));
    for (;;) {
      const std::string_view unread = std::string_view(connection.in).substr(connection.in_at);
      const test::PacketHead head = test::packet_head(unread);
      if (head.cut == test::PacketCut::need_more) break;
      if (head.cut == test::PacketCut::bad_length) {
        fail(connection, "packet length field " + std::to_string(head.length));
        return;
      }
      connection.in_at += head.size();
      if (!test::is_final_reply(unread[4])) {
        ++report_.modifications;
      } else if (!answered(connection, unread[4])) {
        return;
      }
    }
    connection.in.erase(0, connection.in_at);
    connection.in_at = 0;
  }

  // One final answer; false when the connection is gone afterwards.
  bool answered(Connection &connection, char code) {
    if (connection.answered_units >= connection.sent_units) {
      fail(connection, std::string("answer '") + code + "' to no command");
      return false;
    }
    const auto now = Clock::now();
    if (++connection.answered_units < connection.message.unit_ends.size()) {
      if (code != 'c') ++report_.stage_refusals;
      connection.previous_answer = now;
      send_units(connection);
      return connection.open;
    }
    message_latency_.record(ns_between(connection.message_start, now));
    eom_latency_.record(ns_between(connection.previous_answer, now));
    count_end_of_message(code);
    ++report_.messages;
    last_answer_ = now;
    start_message(connection);
    return connection.open;
  }

  void count_end_of_message(char code) {
    switch (code) {
    case 'c': ++report_.eom_continue; break;
    case 't': ++report_.eom_tempfail; break;
    case 'r': ++report_.eom_reject; break;
    case 'a': ++report_.eom_accept; break;
    default: ++report_.eom_other; break;
    }
  }

  void quit(Connection &connection) {
    const std::string bytes = frame(test::quit_packet());
    (void)::send(connection.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    close(connection);
  }

  void close(Connection &connection) {
    ::close(connection.fd);
    connection.open = false;
    --live_;
  }

  void fail(Connection &connection, const std::string &what) {
    close(connection);
    fail_setup(what);
  }

  void fail_setup(const std::string &what) {
    if (report_.failures++ == 0) report_.first_failure = what;
  }

  LoadReport finish_report() {
    report_.seconds = std::chrono::duration<double>(last_answer_ - start_).count();
    if (report_.seconds > 0)
      report_.messages_per_second = static_cast<double>(report_.messages) / report_.seconds;
    report_.message = summary(message_latency_);
    report_.end_of_message = summary(eom_latency_);
    return report_;
  }

  const LoadOptions &options_;
  MessageBuilder builder_;
  int epoll_ = -1;
  std::vector<Connection> connections_;
  unsigned live_ = 0;
  std::uint64_t started_ = 0;
  Clock::time_point start_, end_, last_answer_;
  double start_cpu_ = 0;
  LatencyHistogram message_latency_, eom_latency_;
  LoadReport report_;
};

} // namespace

std::optional<LoadEndpoint> tcp_endpoint(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  const auto port = read_u16(text.substr(colon + 1));
  if (host.empty() || !port || *port == 0) return std::nullopt;
  return LoadEndpoint{{}, std::string(host), *port};
}

std::string describe(const LoadEndpoint &endpoint) {
  if (!endpoint.unix_path.empty()) return "unix:" + endpoint.unix_path;
  return "tcp:" + endpoint.host + ":" + std::to_string(endpoint.port);
}

LoadReport run_load(const LoadOptions &options) { return LoadLoop(options).run(); }

std::string report_line(const LoadOptions &options, const LoadReport &report) {
  std::string line = "milter_load";
  const auto text = [&line](const char *key, const std::string &value) {
    line += ' ';
    line += key;
    line += '=';
    line += value;
  };
  const auto count = [&text](const char *key, std::uint64_t value) {
    text(key, std::to_string(value));
  };
  const auto figure = [&text](const char *key, double value, int decimals) {
    char digits[64];
    std::snprintf(digits, sizeof(digits), "%.*f", decimals, value);
    text(key, digits);
  };
  const auto latency = [&figure](const char *p50, const char *p99, const char *max,
                                 const LatencySummary &summary) {
    figure(p50, summary.p50_us, 1);
    figure(p99, summary.p99_us, 1);
    figure(max, summary.max_us, 1);
  };
  text("endpoint", describe(options.endpoint));
  count("connections", options.connections);
  text("pipeline", options.pipeline ? "yes" : "no");
  count("from_domains", options.from_domains);
  count("messages", report.messages);
  figure("seconds", report.seconds, 3);
  figure("rate", report.messages_per_second, 1);
  figure("cpu_seconds", report.cpu_seconds, 3);
  latency("msg_p50_us", "msg_p99_us", "msg_max_us", report.message);
  latency("eom_p50_us", "eom_p99_us", "eom_max_us", report.end_of_message);
  count("eom_c", report.eom_continue);
  count("eom_t", report.eom_tempfail);
  count("eom_r", report.eom_reject);
  count("eom_a", report.eom_accept);
  count("eom_other", report.eom_other);
  count("stage_refusals", report.stage_refusals);
  count("modifications", report.modifications);
  count("failures", report.failures);
  return line;
}

} // namespace corvane::bench
