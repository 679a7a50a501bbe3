#include "support/dns_server.hpp"

#include "support/dns_packet_builder.hpp"
#include "support/dns_test_socket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace corvane::test {

namespace {

using Clock = std::chrono::steady_clock;

std::string lower(std::string text) {
  for (auto &c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

unsigned get16(const std::string &bytes, std::size_t at) {
  return static_cast<unsigned>(static_cast<unsigned char>(bytes[at]) << 8 |
                               static_cast<unsigned char>(bytes[at + 1]));
}

// The question of a query: its name as sent, its type, and where it ends.
struct Question {
  std::string name;
  std::uint16_t type = 0;
  std::size_t end = 0;
};

std::optional<Question> read_question(const std::string &query) {
  if (query.size() < 12 || get16(query, 4) < 1) return std::nullopt;
  Question question;
  std::size_t at = 12;
  for (;;) {
    if (at >= query.size()) return std::nullopt;
    const auto length = static_cast<unsigned char>(query[at]);
    if (length == 0) break;
    if (length > 63 || at + 1 + length > query.size()) return std::nullopt;
    if (!question.name.empty()) question.name += '.';
    question.name.append(query, at + 1, length);
    at += 1 + length;
  }
  at += 1;
  if (at + 4 > query.size()) return std::nullopt;
  question.type = static_cast<std::uint16_t>(get16(query, at));
  question.end = at + 4;
  return question;
}

std::string rdata_of(const DnsRecord &record) {
  PacketBuilder rdata;
  switch (record.type) {
  case 16:
    for (const auto &s : record.strings) {
      if (s.size() > 255) throw std::invalid_argument("a TXT string is at most 255 bytes");
      rdata.u8(static_cast<unsigned>(s.size())).text(s);
    }
    return rdata.str();
  case 2:
  case 5:
  case 12: return rdata.name(record.target).str();
  case 15: return rdata.u16(record.preference).name(record.target).str();
  default: return record.rdata;
  }
}

bool question_as_asked(const DnsBehaviour &behaviour) {
  return !behaviour.no_question && !behaviour.question_name && behaviour.question_type == 0 &&
         behaviour.question_class == 0;
}

std::string build_reply(const std::string &query, const Question &question,
                        const DnsBehaviour &behaviour, bool truncated, bool with_answers) {
  unsigned flags = 0x8000 | (get16(query, 2) & 0x7900) | 0x0400 | 0x0080 | (behaviour.rcode & 15u);
  if (truncated) flags |= 0x0200;
  if (behaviour.qr_clear) flags &= ~0x8000u;
  PacketBuilder out;
  out.header(get16(query, 0) ^ behaviour.id_xor, flags, behaviour.no_question ? 0 : 1,
             with_answers ? static_cast<unsigned>(behaviour.answers.size()) : 0);
  if (question_as_asked(behaviour)) {
    out.text(std::string_view(query).substr(12, question.end - 12));
  } else if (!behaviour.no_question) {
    out.name(behaviour.question_name.value_or(question.name));
    out.u16(behaviour.question_type != 0 ? behaviour.question_type : question.type);
    out.u16(behaviour.question_class != 0 ? behaviour.question_class
                                          : get16(query, question.end - 2));
  }
  if (!with_answers) return out.str();
  for (const auto &record : behaviour.answers) {
    if (!record.owner.empty())
      out.name(record.owner);
    else if (question_as_asked(behaviour))
      out.pointer(12); // the name of the question
    else
      out.name(question.name); // the name asked, written out
    const std::string rdata = rdata_of(record);
    out.u16(record.type)
        .u16(1)
        .u32(record.ttl)
        .u16(static_cast<unsigned>(rdata.size()))
        .text(rdata);
  }
  return out.str();
}

std::string with_query_id(std::string raw, const std::string &query, bool takes_id) {
  if (takes_id && raw.size() >= 2) {
    raw[0] = query[0];
    raw[1] = query[1];
  }
  return raw;
}

// Reads exactly `size` bytes within two seconds; false when the peer is slow,
// closes or fails.
bool read_exactly(int fd, char *bytes, std::size_t size) {
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  std::size_t got = 0;
  while (got < size) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd watch{fd, POLLIN, 0};
    if (::poll(&watch, 1, static_cast<int>(left)) <= 0) return false;
    const ssize_t n = ::recv(fd, bytes + got, size - got, 0);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

void send_all(int fd, const std::string &bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

} // namespace

DnsBehaviour txt_answer(std::vector<std::string> strings, std::uint32_t ttl) {
  DnsBehaviour behaviour;
  DnsRecord record;
  record.ttl = ttl;
  record.strings = std::move(strings);
  behaviour.answers.push_back(std::move(record));
  return behaviour;
}

DnsBehaviour rcode_answer(std::uint8_t rcode) {
  DnsBehaviour behaviour;
  behaviour.rcode = rcode;
  return behaviour;
}

DnsBehaviour silent_answer() {
  DnsBehaviour behaviour;
  behaviour.silent = true;
  return behaviour;
}

std::string own_loopback_address(unsigned subnet, unsigned attempt) {
  const unsigned n = static_cast<unsigned>(::getpid()) + attempt;
  return "127." + std::to_string(subnet) + "." + std::to_string(n / 250 % 250 + 1) + "." +
         std::to_string(n % 250 + 1);
}

// A reply waiting for its delay (or, held, for the end of the server), with
// where it goes: a UDP peer or an accepted TCP connection.
struct DnsServer::Pending {
  Clock::time_point due;
  bool held = false;
  std::string bytes;
  sockaddr_storage peer{};
  socklen_t peer_length = 0;
  int tcp_fd = -1;
  ~Pending() {
    if (tcp_fd >= 0) ::close(tcp_fd);
  }
};

DnsServer::DnsServer(Options options) : options_(std::move(options)) {
  others_ = rcode_answer(3);
  for (int attempt = 0; attempt < 50 && udp_fd_ < 0; ++attempt) {
    const TestAddress address = test_address(options_.address, options_.port);
    udp_fd_ = bound_test_socket(address, SOCK_DGRAM);
    if (udp_fd_ < 0) {
      if (options_.port != 0) break;
      continue;
    }
    port_ = bound_port(udp_fd_);
    if (!options_.tcp) break;
    tcp_fd_ = bound_test_socket(test_address(options_.address, port_), SOCK_STREAM);
    if (tcp_fd_ >= 0) break;
    ::close(udp_fd_);
    udp_fd_ = -1;
    if (options_.port != 0) break; // the asked-for port is taken on TCP
  }
  if (udp_fd_ < 0)
    throw std::runtime_error("dns server: cannot bind " + options_.address + " port " +
                             std::to_string(options_.port));
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("dns server: pipe");
  wake_read_ = pipe_fds[0];
  wake_write_ = pipe_fds[1];
  thread_ = std::thread([this] { run(); });
}

DnsServer::~DnsServer() { stop(); }

void DnsServer::stop() {
  if (thread_.joinable()) {
    const char byte = 0;
    (void)!::write(wake_write_, &byte, 1);
    thread_.join();
  }
  pending_.clear();
  for (int *fd : {&udp_fd_, &tcp_fd_, &wake_read_, &wake_write_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

std::vector<std::unique_ptr<DnsServer>>
DnsServer::start_group(const std::vector<std::string> &addresses, Options options) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    std::vector<std::unique_ptr<DnsServer>> group;
    try {
      for (const auto &address : addresses) {
        Options each = options;
        each.address = address;
        each.port = group.empty() ? options.port : group.front()->port();
        group.push_back(std::make_unique<DnsServer>(each));
      }
      return group;
    } catch (const std::runtime_error &) {
      if (options.port != 0) throw;
    }
  }
  throw std::runtime_error("dns server: no shared port found");
}

void DnsServer::answer(const std::string &name, DnsBehaviour behaviour) {
  std::lock_guard lock(mutex_);
  script_[lower(name)] = std::move(behaviour);
}

void DnsServer::answer_others(DnsBehaviour behaviour) {
  std::lock_guard lock(mutex_);
  others_ = std::move(behaviour);
}

std::vector<DnsQueryLogEntry> DnsServer::queries() const {
  std::lock_guard lock(mutex_);
  return log_;
}

std::size_t DnsServer::query_count() const {
  std::lock_guard lock(mutex_);
  return log_.size();
}

void DnsServer::clear_queries() {
  std::lock_guard lock(mutex_);
  log_.clear();
}

DnsBehaviour DnsServer::behaviour_for(const std::string &name) const {
  std::lock_guard lock(mutex_);
  const auto found = script_.find(lower(name));
  return found == script_.end() ? others_ : found->second;
}

std::vector<std::string> DnsServer::replies_for(const std::string &query, DnsTransport transport,
                                                std::chrono::milliseconds &delay, bool &silent) {
  const auto question = read_question(query);
  if (!question) return {};
  {
    std::lock_guard lock(mutex_);
    log_.push_back(
        {question->name, question->type, transport, static_cast<std::uint16_t>(get16(query, 0))});
  }
  const DnsBehaviour behaviour = behaviour_for(question->name);
  delay = behaviour.delay;
  if (transport == DnsTransport::udp) {
    silent = behaviour.silent;
    std::vector<std::string> out;
    for (const auto &decoy : behaviour.decoys)
      out.push_back(decoy.udp_raw ? with_query_id(*decoy.udp_raw, query, decoy.raw_takes_id)
                                  : build_reply(query, *question, decoy, false, true));
    if (behaviour.udp_raw) {
      out.push_back(with_query_id(*behaviour.udp_raw, query, behaviour.raw_takes_id));
      return out;
    }
    std::string full = build_reply(query, *question, behaviour, false, true);
    if (!behaviour.truncate && full.size() <= options_.udp_limit)
      out.push_back(std::move(full));
    else
      out.push_back(build_reply(query, *question, behaviour, true,
                                behaviour.truncate && behaviour.truncated_keeps_answers));
    return out;
  }
  silent = behaviour.tcp_silent;
  std::string body = behaviour.tcp_raw
                         ? with_query_id(*behaviour.tcp_raw, query, behaviour.raw_takes_id)
                         : build_reply(query, *question, behaviour, false, true);
  // Over TCP a message goes with its length in front.
  return {PacketBuilder().u16(static_cast<unsigned>(body.size())).text(body).str()};
}

void DnsServer::on_udp() {
  sockaddr_storage peer{};
  socklen_t peer_length = sizeof(peer);
  std::string query(65535, '\0');
  const ssize_t n = ::recvfrom(udp_fd_, query.data(), query.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr *>(&peer), &peer_length);
  if (n <= 0) return;
  query.resize(static_cast<std::size_t>(n));
  std::chrono::milliseconds delay{0};
  bool silent = false;
  auto replies = replies_for(query, DnsTransport::udp, delay, silent);
  if (silent && !replies.empty()) replies.pop_back(); // the decoys still go out
  const auto now = Clock::now();
  for (std::size_t i = 0; i < replies.size(); ++i) {
    auto item = std::make_unique<Pending>();
    item->peer = peer;
    item->peer_length = peer_length;
    item->bytes = std::move(replies[i]);
    item->due = i + 1 == replies.size() && !silent ? now + delay : now;
    pending_.push_back(std::move(item));
  }
}

void DnsServer::on_tcp_accept() {
  const int fd = ::accept4(tcp_fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  auto item = std::make_unique<Pending>();
  item->tcp_fd = fd;
  char prefix[2];
  if (!read_exactly(fd, prefix, 2)) return;
  std::string query(get16(std::string(prefix, 2), 0), '\0');
  if (!read_exactly(fd, query.data(), query.size())) return;
  std::chrono::milliseconds delay{0};
  bool silent = false;
  auto reply = replies_for(query, DnsTransport::tcp, delay, silent);
  if (reply.empty()) return;
  item->held = silent;
  item->bytes = std::move(reply.front());
  item->due = Clock::now() + delay;
  pending_.push_back(std::move(item));
}

void DnsServer::run() {
  for (;;) {
    const auto now = Clock::now();
    // Send what is due; a TCP connection closes after its reply.
    for (auto it = pending_.begin(); it != pending_.end();) {
      Pending &item = **it;
      if (item.held || item.due > now) {
        ++it;
        continue;
      }
      if (item.tcp_fd >= 0)
        send_all(item.tcp_fd, item.bytes);
      else
        ::sendto(udp_fd_, item.bytes.data(), item.bytes.size(), 0,
                 reinterpret_cast<const sockaddr *>(&item.peer), item.peer_length);
      it = pending_.erase(it);
    }
    int timeout_ms = -1;
    for (const auto &item : pending_) {
      if (item->held) continue;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(item->due - now).count() + 1;
      timeout_ms =
          timeout_ms < 0 ? static_cast<int>(left) : std::min(timeout_ms, static_cast<int>(left));
    }
    pollfd watch[3] = {{wake_read_, POLLIN, 0}, {udp_fd_, POLLIN, 0}, {tcp_fd_, POLLIN, 0}};
    const nfds_t count = tcp_fd_ >= 0 ? 3 : 2;
    if (::poll(watch, count, timeout_ms) < 0 && errno != EINTR) return;
    if (watch[0].revents != 0) return;
    if (watch[1].revents & POLLIN) on_udp();
    if (count == 3 && (watch[2].revents & POLLIN)) on_tcp_accept();
  }
}

} // namespace corvane::test
