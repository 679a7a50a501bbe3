#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace corvane::test {

// One resource record of a scripted answer.
struct DnsRecord {
  std::string owner;       // empty: the name of the question
  std::uint16_t type = 16; // TXT unless said otherwise
  std::uint32_t ttl = 300;
  std::vector<std::string> strings; // TXT: character-strings, each at most 255 bytes
  std::string target;               // CNAME, PTR, NS: the name; MX: the exchange
  std::uint16_t preference = 10;    // MX
  std::string rdata;                // any other type: the RDATA bytes as they are
};

// How the server answers one name.
struct DnsBehaviour {
  std::uint8_t rcode = 0;
  std::vector<DnsRecord> answers;
  bool silent = false;                  // UDP: never answer
  bool tcp_silent = false;              // TCP: accept, read, never answer, keep it open
  std::chrono::milliseconds delay{0};   // before the answer goes out (UDP and TCP)
  bool truncate = false;                // UDP replies carry TC ...
  bool truncated_keeps_answers = false; // ... and keep their answers (else none)
  std::uint16_t id_xor = 0;             // non-zero: the reply's ID is the query's XOR this
  std::optional<std::string> udp_raw;   // sent instead of the UDP reply (garbage, short, loops)
  std::optional<std::string> tcp_raw;   // sent instead of the TCP reply, length-prefixed
  bool raw_takes_id = true;             // the first two raw bytes become the query's ID
  // Replies that do not answer the query (UDP and TCP alike):
  bool qr_clear = false;                    // the QR bit clear, as in a query
  std::optional<std::string> question_name; // the question names this instead
  std::uint16_t question_type = 0;          // non-zero: the question's type instead
  std::uint16_t question_class = 0;         // non-zero: the question's class instead
  bool no_question = false;                 // QDCOUNT 0 (as some FORMERR and REFUSED)
  // UDP: replies built from these go out first, at once, each a datagram of
  // its own (even when `silent`; a decoy's udp_raw is sent as it is); the
  // reply of this behaviour follows after `delay`.
  std::vector<DnsBehaviour> decoys;
};

// A TXT answer of one record made of the given character-strings.
DnsBehaviour txt_answer(std::vector<std::string> strings, std::uint32_t ttl = 300);
// An answer with no records and the given RCODE.
DnsBehaviour rcode_answer(std::uint8_t rcode);
// No answer at all.
DnsBehaviour silent_answer();

// A loopback address of this process's own, 127.<subnet>.x.y with x and y
// from the process id (and `attempt`, for the next one when it is taken): the
// daemon always asks port 53, so tests running side by side each need an
// address of their own for it.
std::string own_loopback_address(unsigned subnet, unsigned attempt = 0);

enum class DnsTransport { udp, tcp };

struct DnsServerOptions {
  std::string address = "127.0.0.1";
  std::uint16_t port = 0; // 0: an ephemeral port
  bool tcp = true;        // false: nothing listens on TCP (connects are refused)
  // UDP replies larger than this come back with TC and no answers, as a
  // real server does with the payload size the query advertised.
  std::size_t udp_limit = 1232;
};

struct DnsQueryLogEntry {
  std::string name; // as sent, dotted, no trailing dot
  std::uint16_t type = 0;
  DnsTransport transport = DnsTransport::udp;
  std::uint16_t id = 0;
};

// The one scriptable DNS server of the tests: UDP and TCP on a loopback
// address (any of 127.0.0.0/8 or ::1), answering each name as scripted and
// logging every query it sees. Runs on its own thread until destroyed.
class DnsServer {
public:
  using Options = DnsServerOptions;

  explicit DnsServer(Options options);
  DnsServer() : DnsServer(Options{}) {}
  ~DnsServer();
  DnsServer(const DnsServer &) = delete;
  DnsServer &operator=(const DnsServer &) = delete;

  // Servers on several addresses sharing one port, as the resolver has one
  // port for all its nameservers.
  static std::vector<std::unique_ptr<DnsServer>>
  start_group(const std::vector<std::string> &addresses, Options options = {});

  const std::string &address() const { return options_.address; }
  std::uint16_t port() const { return port_; }

  // Scripts the answer for one name (matched without regard to case).
  void answer(const std::string &name, DnsBehaviour behaviour);
  // The answer for names not scripted; NXDOMAIN until set.
  void answer_others(DnsBehaviour behaviour);

  std::vector<DnsQueryLogEntry> queries() const;
  std::size_t query_count() const;
  void clear_queries();

  void stop();

private:
  struct Pending;
  void run();
  void on_udp();
  void on_tcp_accept();
  // The datagrams (UDP) or the framed reply (TCP) for a query, in the order
  // they go out; the last one waits for `delay`. Empty for no reply.
  std::vector<std::string> replies_for(const std::string &query, DnsTransport transport,
                                       std::chrono::milliseconds &delay, bool &silent);
  DnsBehaviour behaviour_for(const std::string &name) const;

  Options options_;
  std::uint16_t port_ = 0;
  int udp_fd_ = -1;
  int tcp_fd_ = -1;
  int wake_read_ = -1;
  int wake_write_ = -1;
  mutable std::mutex mutex_;
  std::map<std::string, DnsBehaviour> script_; // keys in lower case
  DnsBehaviour others_;
  std::vector<DnsQueryLogEntry> log_;
  std::vector<std::unique_ptr<Pending>> pending_;
  std::thread thread_;
};

} // namespace corvane::test
