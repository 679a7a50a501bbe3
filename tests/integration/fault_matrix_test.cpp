// The real corvane binary against everything that goes wrong around it: a
// nameserver that is silent, slow, failing or talking garbage; MTAs that stop
// reading, vanish mid-message or speak another protocol; signal storms under
// load; descriptor exhaustion; a long run watched for memory growth; and a
// syslog daemon that restarts. Whatever happens, the daemon must neither crash
// nor hang, and no message may be let through ('c' at end of message) without
// its Authentication-Results header queued before that 'c'.
#include "support/daemon_process.hpp"
#include "support/dns_packet_builder.hpp"
#include "support/dns_server.hpp"
#include "support/listener_config.hpp"
#include "support/milter_client.hpp"
#include "support/process_runner.hpp"
#include "support/syslog_socket.hpp"
#include "support/wait_until.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace corvane::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string k_corvane = CORVANE_BINARY_DIR "/src/daemon/corvane";
const std::string k_authserv_id = "mx.faults.test";
constexpr int k_max_evaluation_ms = 1500;
// What the machine may add to MaxEvaluationMs before a reply counts as late:
// two cores shared with builders.
constexpr auto k_reply_margin = 1000ms;

// The test's nameserver where the daemon looks for it.
DnsServerOptions on_port_53(bool tcp = true) {
  DnsServerOptions options;
  options.address = own_loopback_address(54);
  options.port = 53;
  options.tcp = tcp; // false: TCP connects are refused
  return options;
}

// --- what /proc says about the daemon ---------------------------------------

std::string proc_file(pid_t pid, const std::string &name) {
  return read_file("/proc/" + std::to_string(pid) + "/" + name);
}

// User plus system CPU time in clock ticks.
long cpu_ticks(pid_t pid) {
  const std::string stat = proc_file(pid, "stat");
  // Fields after the command name, which may hold spaces: state is field 3,
  // utime field 14, stime field 15.
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14) utime = std::stol(field);
    if (number == 15) stime = std::stol(field);
  }
  return utime + stime;
}

long rss_kib(pid_t pid) {
  std::smatch match;
  const std::string status = proc_file(pid, "status");
  if (!std::regex_search(status, match, std::regex(R"(VmRSS:\s+(\d+) kB)"))) return -1;
  return std::stol(match[1]);
}

// What each descriptor is, for failure messages.
std::string descriptor_list(pid_t pid) {
  std::string text;
  std::error_code ignored;
  for (const auto &entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored))
    text += entry.path().filename().string() + " -> " +
            std::filesystem::read_symlink(entry.path(), ignored).string() + "\n";
  return text;
}

// The descriptors of an idle daemon. The health monitor's probe holds one
// for a moment every few seconds: the smallest of a few readings is taken.
std::size_t idle_descriptors(pid_t pid) {
  std::size_t fewest = open_descriptors(pid);
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(10ms);
    fewest = std::min(fewest, open_descriptors(pid));
  }
  return fewest;
}

// Waits until the daemon holds no more than `count` descriptors (every
// connection it had beyond those is closed); false when it does not within
// the limit.
bool descriptors_settle_at(pid_t pid, std::size_t count, std::chrono::milliseconds limit = 3s) {
  return wait_until([&] { return open_descriptors(pid) <= count; }, limit, 10ms);
}

std::size_t count_of(const std::string &text, const std::string &piece) {
  std::size_t count = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos;
       at = text.find(piece, at + piece.size()))
    ++count;
  return count;
}

// --- messages and their answers ---------------------------------------------

// A message from `domain` whose upstream verifier (trusted: it writes our
// authserv-id) saw SPF pass for that domain, plus any further result entries.
StandardMessage message_from(const std::string &domain, const std::string &queue_id,
                             const std::string &more_results = "") {
  StandardMessage message;
  message.queue_id = queue_id;
  message.sender = "<alice@" + domain + ">";
  message.headers = {{"Authentication-Results",
                      k_authserv_id + "; spf=pass smtp.mailfrom=" + domain + more_results},
                     {"From", "Alice <alice@" + domain + ">"},
                     {"To", "Bob <bob@example.net>"},
                     {"Subject", "fault " + queue_id},
                     {"Message-ID", "<" + queue_id + "@faults.test>"}};
  return message;
}

// The value of the Authentication-Results header the daemon inserted, with
// its fold written "\n\t"; empty when there is none.
std::string result_header(const Replies &replies) {
  for (const MilterPacket &packet : replies) {
    if (packet.code != 'i') continue;
    const HeaderChange change = parse_header_change(packet);
    if (change.name != "Authentication-Results") continue;
    return std::regex_replace(change.value, std::regex("\r\n"), "\n");
  }
  return "";
}

std::string verdict_header(const std::string &entry) { return k_authserv_id + ";\n\t" + entry; }

// The rule every answer to end of message keeps: it ends in a final reply,
// and a continue comes only after the inserted result header.
::testing::AssertionResult recorded_before_continue(const Replies &replies) {
  if (replies.empty()) return ::testing::AssertionFailure() << "no answer to end of message";
  const char last = replies.back().code;
  if (last != 'c' && last != 't' && last != 'r')
    return ::testing::AssertionFailure() << "end of message answered '" << last << "'";
  if (last == 'c' && result_header(Replies(replies.begin(), replies.end() - 1)).empty())
    return ::testing::AssertionFailure()
           << "continue without a result header: " << reply_codes(replies);
  return ::testing::AssertionSuccess();
}

// Sends a whole message in one write and reads every answer, as a pipelining
// load generator does; throws when a stage is not answered 'c'.
Replies pipelined_message(MilterClient &client, const StandardMessage &message) {
  const std::vector<MilterPacket> packets = standard_message_packets(message);
  const auto answered =
      std::count_if(packets.begin(), packets.end(),
                    [](const MilterPacket &packet) { return packet.code != 'D'; });
  if (!client.send_packets(packets)) throw std::runtime_error("the filter closed the connection");
  for (std::ptrdiff_t i = 0; i + 1 < answered; ++i) {
    const Replies stage = client.read_replies();
    if (stage.back().code != 'c')
      throw std::runtime_error("a stage was answered '" + std::string(1, stage.back().code) + "'");
  }
  return client.read_replies();
}

// --- the daemon --------------------------------------------------------------

struct CorvaneOptions {
  std::string global;             // more [global] lines
  bool unix_listener = false;     // a second listener on a Unix socket
  std::vector<std::string> under; // a program and its arguments that run corvane
};

// One corvane process with a fresh directory, an inet listener on a free
// loopback port, and the test's nameserver.
class Corvane {
public:
  Corvane(const std::string &nameserver, CorvaneOptions options = {})
      : port_(free_loopback_port()), unix_path_(dir_.file("milter.sock")) {
    std::string config = "[global]\nAuthservID = " + k_authserv_id +
                         "\nSyslog = no\nForeground = yes\nPidFile = " + dir_.file("corvane.pid") +
                         "\nWorkerThreads = 2\nDnsNameserver = " + nameserver +
                         "\nDnsTimeout = 1\nDnsRetries = 0\nMaxEvaluationMs = " +
                         std::to_string(k_max_evaluation_ms) + "\n" + options.global +
                         "[listener:mta]\nSocket = inet:" + std::to_string(port_) + "@127.0.0.1\n";
    if (options.unix_listener) config += "[listener:local]\nSocket = unix:" + unix_path_ + "\n";
    std::vector<std::string> command = options.under;
    command.insert(command.end(), {k_corvane, "-c", dir_.write("corvane.conf", config)});
    process_ = std::make_unique<DaemonProcess>(
        command.front(), std::vector<std::string>(command.begin() + 1, command.end()), dir_.path());
  }

  // Waits until a connection is answered (the start-up banner comes
  // before the listeners open).
  bool listening() const {
    return wait_until_answering([this] { return connect({.timeout = 1000ms}); });
  }

  MilterClient connect(MilterClientOptions options = {}) const {
    return MilterClient::open_tcp("127.0.0.1", port_, options);
  }
  MilterClient connect_unix(MilterClientOptions options = {}) const {
    return MilterClient::open_unix(unix_path_, options);
  }

  DaemonProcess &process() { return *process_; }
  pid_t pid() const { return process_->pid(); }
  std::string err() const { return process_->err(); }

  // SIGTERM, then the exit status (-1 when it does not end in time).
  int stop(std::chrono::milliseconds limit = 40s) {
    process_->signal(SIGTERM);
    return process_->wait_exit(limit);
  }

private:
  TempDir dir_;
  std::uint16_t port_;
  std::string unix_path_;
  std::unique_ptr<DaemonProcess> process_;
};

struct LoadOptions {
  unsigned connections = 4;
  std::uint64_t messages_per_connection = 0; // 0: until stopped
  bool pipelined = false;
  // The From domain of message `number` on connection `connection`; the
  // nameserver gives every domain p=reject.
  std::function<std::string(unsigned connection, std::uint64_t number)> domain =
      [](unsigned, std::uint64_t) { return std::string("example.org"); };
};

// Connections that send messages in a loop, each answer checked: the result
// header says pass under p=reject, then comes 'c'. Every connection ends its
// message in flight and quits once told to stop, or after its share of
// messages.
class MessageLoad {
public:
  MessageLoad(const Corvane &corvane, LoadOptions options) : options_(std::move(options)) {
    for (unsigned c = 0; c < options_.connections; ++c)
      threads_.emplace_back([this, &corvane, c] { run(corvane, c); });
  }
  ~MessageLoad() { stop(); }
  MessageLoad(const MessageLoad &) = delete;
  MessageLoad &operator=(const MessageLoad &) = delete;

  void stop() {
    stop_ = true;
    join();
  }
  void join() {
    for (auto &thread : threads_)
      if (thread.joinable()) thread.join();
  }
  std::uint64_t completed() const { return completed_; }
  // Whether `count` messages were answered within `limit`.
  bool wait_for_completed(std::uint64_t count) const {
    return wait_until([&] { return completed_ >= count; });
  }
  // The longest a message waited for its answers, from its first command.
  std::chrono::milliseconds slowest() const {
    const std::lock_guard lock(mutex_);
    return slowest_;
  }
  std::vector<std::string> failures() const {
    const std::lock_guard lock(mutex_);
    return failures_;
  }

private:
  void run(const Corvane &corvane, unsigned connection) {
    try {
      MilterClient client = corvane.connect();
      client.negotiate();
      for (std::uint64_t n = 0; !stop_; ++n) {
        if (options_.messages_per_connection != 0 && n >= options_.messages_per_connection) break;
        const std::string domain = options_.domain(connection, n);
        StandardMessage message =
            message_from(domain, "L" + std::to_string(connection) + "N" + std::to_string(n));
        message.connection_stages = n == 0;
        const auto started = Clock::now();
        Replies replies;
        if (options_.pipelined) {
          replies = pipelined_message(client, message);
        } else {
          const MessageOutcome outcome = client.run_standard_message(message);
          if (outcome.end_of_message.empty())
            throw std::runtime_error("stages answered " + outcome.stage_codes);
          replies = outcome.end_of_message;
        }
        const std::string expected = verdict_header("dmarc=pass (p=reject) header.from=" + domain);
        if (replies.back().code != 'c' || result_header(replies) != expected)
          throw std::runtime_error(domain + ": " + reply_codes(replies) + " " +
                                   result_header(replies));
        note_time(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started));
        ++completed_;
      }
      client.quit();
    } catch (const std::exception &failure) {
      const std::lock_guard lock(mutex_);
      failures_.push_back("connection " + std::to_string(connection) + ": " + failure.what());
    }
  }

  void note_time(std::chrono::milliseconds taken) {
    const std::lock_guard lock(mutex_);
    slowest_ = std::max(slowest_, taken);
  }

  LoadOptions options_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> completed_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> failures_;
  std::chrono::milliseconds slowest_{0};
  std::vector<std::thread> threads_;
};

const DnsBehaviour k_reject = txt_answer({"v=DMARC1; p=reject"});

std::string joined(const std::vector<std::string> &lines) {
  std::string text;
  for (const auto &line : lines)
    text += line + "\n";
  return text;
}

// Every test has the test's nameserver on port 53 of its own loopback
// address and one daemon that asks it.
class FaultMatrixTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: the daemon asks port 53";
  }
  // A daemon built with a sanitizer reports what it found on standard error.
  void TearDown() override {
    if (!corvane_) return;
    const std::string err = corvane_->err();
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error:"), std::string::npos) << err;
  }

  // The nameserver, made on first use; example.org has p=reject.
  DnsServer &dns(bool tcp = true) {
    if (!dns_) {
      dns_ = std::make_unique<DnsServer>(on_port_53(tcp));
      dns_->answer("_dmarc.example.org", k_reject);
    }
    return *dns_;
  }

  // Starts the daemon and waits until it takes connections.
  ::testing::AssertionResult start(const CorvaneOptions &options = {}) {
    corvane_ = std::make_unique<Corvane>(dns().address(), options);
    if (corvane_->listening()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "corvane does not listen:\n" << corvane_->err();
  }
  Corvane &corvane() { return *corvane_; }

  // One message from example.org on a new connection: its verdict must be
  // recorded whatever else happens.
  void message(const std::string &queue_id) {
    MilterClient client = corvane_->connect();
    client.negotiate();
    const MessageOutcome outcome =
        client.run_standard_message(message_from("example.org", queue_id));
    EXPECT_TRUE(recorded_before_continue(outcome.end_of_message)) << outcome.stage_codes;
    client.quit();
  }

private:
  std::unique_ptr<DnsServer> dns_;
  std::unique_ptr<Corvane> corvane_;
};

// --- DNS faults ---------------------------------------------------------------

// A reply header (the ID is filled in by the server; QR, RD and RA set,
// RCODE 0) that announces no question and one answer.
PacketBuilder reply_header() { return PacketBuilder().header(0, 0x8180, 0, 1); }

DnsBehaviour raw_datagram(const std::string &bytes) {
  DnsBehaviour behaviour;
  behaviour.udp_raw = bytes;
  return behaviour;
}
DnsBehaviour raw_datagram(const PacketBuilder &packet) { return raw_datagram(packet.str()); }

DnsBehaviour delayed(DnsBehaviour behaviour, std::chrono::milliseconds delay) {
  behaviour.delay = delay;
  return behaviour;
}

DnsBehaviour truncated(DnsBehaviour behaviour, bool keeps_answers) {
  behaviour.truncate = true;
  behaviour.truncated_keeps_answers = keeps_answers;
  return behaviour;
}

DnsBehaviour with_id_xor(DnsBehaviour behaviour) {
  behaviour.id_xor = 0x5a5a;
  return behaviour;
}

DnsBehaviour after_decoys(DnsBehaviour behaviour, std::vector<DnsBehaviour> decoys) {
  behaviour.decoys = std::move(decoys);
  return behaviour;
}

struct DnsFault {
  const char *name;
  std::string author; // the From domain
  std::vector<std::pair<std::string, DnsBehaviour>> script;
  std::string more_results; // further entries of the upstream result header
  std::string verdict;      // the entry the daemon records
  std::string log_line;     // a line the fault must produce ("" for none)
};

// Every reply comes within MaxEvaluationMs and a margin, with the verdict the
// fault calls for, the line that names it, and the summary line.
TEST_F(FaultMatrixTest, NameserverFaults) {
  DnsServer &dns = this->dns(false); // TCP connects are refused
  const std::string temperror = "dmarc=temperror (DNS lookup failed)";

  const std::vector<DnsFault> faults{
      {"silent server",
       "silent.test",
       {{"_dmarc.silent.test", silent_answer()}},
       "",
       temperror,
       "dns: query _dmarc.silent.test failed err=error.DnsTimeout elapsed="},
      {"SERVFAIL",
       "servfail.test",
       {{"_dmarc.servfail.test", rcode_answer(2)}},
       "",
       temperror,
       "dns: _dmarc.servfail.test refused, rcode=server_failure from all nameservers"},
      {"REFUSED",
       "refused.test",
       {{"_dmarc.refused.test", rcode_answer(5)}},
       "",
       temperror,
       "dns: _dmarc.refused.test refused, rcode=refused from all nameservers"},
      {"unknown RCODE 11",
       "rcode11.test",
       {{"_dmarc.rcode11.test", rcode_answer(11)}},
       "",
       temperror,
       "dns: _dmarc.rcode11.test refused, rcode=11 from all nameservers"},
      {"truncated without answers, TCP refused",
       "truncated.test",
       {{"_dmarc.truncated.test", truncated(k_reject, false)}},
       "",
       temperror,
       "dns: query _dmarc.truncated.test failed err=error.DnsTimeout elapsed="},
      {"truncated with answers, TCP refused: the answers stand",
       "tcanswers.test",
       {{"_dmarc.tcanswers.test", truncated(k_reject, true)}},
       "",
       "dmarc=pass (p=reject) header.from=tcanswers.test",
       ""},
      {"garbage that is no reply",
       "garbage.test",
       // No DNS message at all: a place for the ID, then bytes.
       {{"_dmarc.garbage.test", raw_datagram(std::string(2, '\0') + std::string(40, '\x5a'))}},
       "",
       temperror,
       "dns: query _dmarc.garbage.test failed err=error.DnsTimeout elapsed="},
      {"garbage behind a reply header",
       "replygarbage.test",
       {{"_dmarc.replygarbage.test", raw_datagram(reply_header().text(std::string(40, '\xff')))}},
       "",
       temperror,
       ""},
      {"compression pointer to itself",
       "selfloop.test",
       {{"_dmarc.selfloop.test", raw_datagram(reply_header().pointer(12).txt(300, {"abc"}))}},
       "",
       temperror,
       ""},
      {"compression pointers to each other",
       "pairloop.test",
       {{"_dmarc.pairloop.test",
         raw_datagram(reply_header().pointer(14).pointer(12).txt(300, {"abc"}))}},
       "",
       temperror,
       ""},
      {"datagram shorter than a header",
       "short.test",
       {{"_dmarc.short.test", raw_datagram(PacketBuilder().u16(0).u16(0x8180).u8(0))}},
       "",
       temperror,
       "dns: query _dmarc.short.test failed err=error.DnsTimeout elapsed="},
      {"replies with a wrong ID only",
       "wrongid.test",
       {{"_dmarc.wrongid.test", with_id_xor(k_reject)}},
       "",
       temperror,
       "dns: query _dmarc.wrongid.test failed err=error.DnsTimeout elapsed="},
      {"decoy with a wrong ID before the reply",
       "decoy.test",
       {{"_dmarc.decoy.test",
         after_decoys(delayed(k_reject, 100ms),
                      {with_id_xor(txt_answer({"v=DMARC1; p=none"})), raw_datagram("junk")})}},
       "",
       "dmarc=pass (p=reject) header.from=decoy.test",
       ""},
      {"no record anywhere", "norecord.test", {}, "", "dmarc=none (no DMARC record found)", ""},
      {"replies slower than MaxEvaluationMs",
       "late.slow",
       {{"_dmarc.late.slow", delayed(k_reject, 3s)}, {"_dmarc.slow", delayed(k_reject, 3s)}},
       "",
       // The walk is cut at the deadline: what it did not ask counts for
       // nothing.
       "dmarc=temperror (evaluation deadline exceeded)",
       "dns: query _dmarc.late.slow failed err=error.DnsTimeout elapsed="},
      {"deadline passes during the DKIM walks",
       "slowkeys.test",
       {{"_dmarc.slowkeys.test", delayed(k_reject, 600ms)},
        {"_dmarc.k1.slowkeys.test", delayed(k_reject, 3s)}},
       "; dkim=pass header.d=k1.slowkeys.test; dkim=pass header.d=k2.slowkeys.test",
       "dmarc=temperror (evaluation deadline exceeded)",
       "dmarc: evaluation deadline exceeded during org-domain walks"},
  };
  for (const DnsFault &fault : faults)
    for (const auto &[name, behaviour] : fault.script)
      dns.answer(name, behaviour);

  ASSERT_TRUE(start());
  Corvane &corvane = this->corvane();
  for (std::size_t i = 0; i < faults.size(); ++i) {
    const DnsFault &fault = faults[i];
    SCOPED_TRACE(fault.name);
    const std::string queue_id = "DNS" + std::to_string(i);
    MilterClient client = corvane.connect();
    client.negotiate();
    const auto started = Clock::now();
    const MessageOutcome outcome =
        client.run_standard_message(message_from(fault.author, queue_id, fault.more_results));
    const auto elapsed = Clock::now() - started;
    client.quit();
    EXPECT_LT(elapsed, std::chrono::milliseconds(k_max_evaluation_ms) + k_reply_margin);
    ASSERT_FALSE(outcome.end_of_message.empty()) << outcome.stage_codes;
    EXPECT_TRUE(recorded_before_continue(outcome.end_of_message));
    EXPECT_EQ(reply_codes(outcome.end_of_message), "ic");
    EXPECT_EQ(result_header(outcome.end_of_message), verdict_header(fault.verdict));
    const std::string summary =
        "id=" + queue_id + " peer=test-mta[127.0.0.1] client=192.0.2.10 domain=" + fault.author +
        " elapsed=";
    EXPECT_TRUE(corvane.process().wait_for(summary, 2s)) << corvane.err();
    if (!fault.log_line.empty()) {
      EXPECT_NE(corvane.err().find(fault.log_line), std::string::npos) << corvane.err();
    }
  }
  EXPECT_EQ(corvane.stop(), 0) << corvane.err();
}

// --- MTAs that misbehave ---------------------------------------------------------

// An MTA that sends and never reads: every 'T' is answered with a 5-byte
// packet that it leaves unread. A Unix socket holds a few hundred kilobytes,
// the output queue 256 KiB more; then the daemon drops the connection.
// Returns the number of packets sent.
std::size_t stop_reading_and_send(MilterClient &stalled) {
  stalled.negotiate();
  const std::vector<MilterPacket> burst(4096, data_packet());
  std::size_t sent = 0;
  while (sent < 400'000 && stalled.send_packets(burst))
    sent += burst.size();
  return sent;
}

// The stalled MTA was held, then dropped: the unread bytes the drop line
// names (0, with a failure, when the lines are missing).
std::size_t unread_at_drop(const std::string &err) {
  EXPECT_NE(err.find("bytes of replies for unknown[local]: peer is not reading, will resume when "
                     "it does\n"),
            std::string::npos)
      << err;
  std::smatch dropped;
  if (std::regex_search(
          err, dropped,
          std::regex(R"(dropping connection from unknown\[local\]: (\d+) bytes of replies )"
                     R"(unread, output queue full\n)")))
    return std::stoul(dropped[1]);
  ADD_FAILURE() << "no drop line:\n" << err;
  return 0;
}

// The daemon dropped the stalled MTA after exactly the queue's bound of
// unread replies, and the MTA got nothing but those replies.
void expect_dropped_at_the_bound(Corvane &corvane, MilterClient &stalled, std::size_t sent) {
  const std::size_t unread = unread_at_drop(corvane.err());
  // The refused 5-byte packet would have taken the queue past 262,144 bytes.
  EXPECT_GT(unread, 262'144u - 5u);
  EXPECT_LE(unread, 262'144u);
  const Replies delivered = stalled.read_until_closed(5s);
  EXPECT_LT(delivered.size(), sent);
  for (const MilterPacket &packet : delivered)
    ASSERT_EQ(packet.code, 'c');
}

// A From domain of 250 bytes: its verdict header is a reply of some 330
// bytes, so that few replies fill the output queue.
std::string long_domain() {
  return std::string(60, 'a') + "." + std::string(60, 'b') + "." + std::string(60, 'c') + "." +
         std::string(60, 'd') + ".test";
}

// An MTA that sends messages (a From header and end of message each) back
// to back and never reads the answers. Returns how many it sent.
std::size_t send_messages_without_reading(MilterClient &stalled, const std::string &domain) {
  stalled.negotiate();
  std::vector<MilterPacket> burst;
  for (int i = 0; i < 64; ++i)
    burst.insert(burst.end(), {header_packet("From", "a@" + domain), end_of_message_packet()});
  std::size_t sent = 0;
  while (sent < 20'000 && stalled.send_packets(burst))
    sent += 64;
  return sent;
}

// The MTA that stops reading is dropped once its unread replies reach the
// queue's bound; up to there every message it sent was answered by the
// book: 'c' for the header, then the verdict header and 'c', or, when the
// verdict no longer fitted, 't'. The daemon goes on serving others.
TEST_F(FaultMatrixTest, MtaThatStopsReadingIsDropped) {
  dns().answer_others(k_reject);
  CorvaneOptions options;
  options.unix_listener = true;
  ASSERT_TRUE(start(options));
  Corvane &corvane = this->corvane();
  const std::size_t idle = idle_descriptors(corvane.pid());

  const std::string domain = long_domain();
  MilterClient stalled = corvane.connect_unix({.timeout = 30s});
  const std::size_t sent = send_messages_without_reading(stalled, domain);
  ASSERT_TRUE(corvane.process().wait_for("bytes of replies unread, output queue full"))
      << corvane.err();
  const std::string err = corvane.err();
  const std::size_t unread = unread_at_drop(err);
  // The refused reply, a byte or a verdict header, would have taken the
  // queue past 262,144 bytes.
  EXPECT_LE(unread, 262'144u);
  EXPECT_GT(unread, 262'144u - 400u);

  const Replies delivered = stalled.read_until_closed(5s);
  // Too long for the line, the property goes on a line of its own.
  const std::string verdict = verdict_header("dmarc=fail (p=reject)\n\theader.from=" + domain);
  std::size_t answered = 0, deferred = 0;
  for (std::size_t at = 0; at < delivered.size();) {
    ASSERT_EQ(delivered[at++].code, 'c') << "reply " << at;
    if (at == delivered.size()) break;
    if (delivered[at].code == 't') {
      ++deferred;
      ++at;
      continue;
    }
    ASSERT_EQ(result_header({delivered[at++]}), verdict) << "reply " << at;
    if (at == delivered.size()) break;
    ASSERT_EQ(delivered[at++].code, 'c') << "reply " << at;
    ++answered;
  }
  std::cout << "[ info     ] " << sent << " messages sent unread; " << answered
            << " delivered with their verdict, " << deferred << " deferred ("
            << count_of(err, "deferring: ") << " deferral lines), then dropped at " << unread
            << " bytes\n";
  EXPECT_GT(answered, 0u);
  EXPECT_LT(answered + deferred, sent);
  // A verdict that no longer fitted was deferred for that reason alone.
  EXPECT_EQ(count_of(err, "deferring: could not record the dmarc result (OutputQueueFull); "
                          "delivering without it would misrepresent what was checked\n"),
            count_of(err, "deferring: "));

  MessageLoad load(corvane, {.connections = 2, .messages_per_connection = 20});
  load.join();
  EXPECT_EQ(load.completed(), 40u);
  EXPECT_EQ(joined(load.failures()), "");
  EXPECT_TRUE(descriptors_settle_at(corvane.pid(), idle)) << descriptor_list(corvane.pid());
  EXPECT_EQ(corvane.stop(), 0) << corvane.err();
}

// While the stalled MTA fills its queue with the smallest replies there are,
// another MTA on the same worker is answered as promptly as ever: queueing
// a reply behind unread ones costs no copy of the whole queue.
TEST_F(FaultMatrixTest, MtaThatStopsReadingDoesNotHoldUpItsWorker) {
  CorvaneOptions options;
  options.global = "WorkerThreads = 1\n";
  options.unix_listener = true;
  ASSERT_TRUE(start(options));
  Corvane &corvane = this->corvane();

  MessageLoad load(corvane, {.connections = 1});
  // The other MTA is in mid-flow before the stall begins and goes on after
  // the drop, whatever the speed of the machine.
  ASSERT_TRUE(load.wait_for_completed(1));
  MilterClient stalled = corvane.connect_unix({.timeout = 30s});
  const std::size_t sent = stop_reading_and_send(stalled);
  ASSERT_TRUE(corvane.process().wait_for("bytes of replies unread, output queue full"))
      << corvane.err();
  EXPECT_TRUE(load.wait_for_completed(load.completed() + 5));
  load.stop();
  expect_dropped_at_the_bound(corvane, stalled, sent);
  EXPECT_EQ(joined(load.failures()), "");
  EXPECT_LT(load.slowest(), 1s) << "the longest wait for a message's answers";
  EXPECT_EQ(corvane.stop(), 0) << corvane.err();
}

// An MTA that goes away in the middle of a message: the daemon closes that
// connection and serves the next one.
TEST_F(FaultMatrixTest, MtaThatVanishesMidMessage) {
  dns().answer("_dmarc.slow.example", delayed(k_reject, 300ms));
  ASSERT_TRUE(start());
  Corvane &corvane = this->corvane();
  const std::size_t idle = idle_descriptors(corvane.pid());

  StandardMessage whole = message_from("slow.example", "VANISH");
  whole.connection_stages = false;
  const std::vector<MilterPacket> all = standard_message_packets(whole);
  // The message up to its last header.
  const std::vector<MilterPacket> head(
      all.begin(), std::find_if(all.begin(), all.end(),
                                [](const MilterPacket &packet) { return packet.code == 'N'; }));
  const std::string half_header = frame(header_packet("Subject", std::string(3000, 's')));

  struct Case {
    const char *name;
    std::string bytes; // sent after negotiation, then the MTA closes
  };
  const std::vector<Case> cases{
      {"after the headers", frame(head)},
      {"inside a packet", frame(head) + half_header.substr(0, half_header.size() / 2)},
      {"inside a length field", std::string("\0\0", 2)},
      {"after end of message, before the verdict", frame(all)},
      {"after an abort", frame(head) + frame(abort_packet())},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    {
      MilterClient vanishing = corvane.connect();
      vanishing.negotiate();
      ASSERT_TRUE(vanishing.send_raw(c.bytes));
    }
    // Closed on the daemon's side too, and the next MTA is served.
    EXPECT_TRUE(descriptors_settle_at(corvane.pid(), idle)) << descriptor_list(corvane.pid());
    MilterClient next = corvane.connect();
    next.negotiate();
    const MessageOutcome outcome = next.run_standard_message(message_from("example.org", "NEXT"));
    ASSERT_FALSE(outcome.end_of_message.empty()) << outcome.stage_codes;
    EXPECT_EQ(result_header(outcome.end_of_message),
              verdict_header("dmarc=pass (p=reject) header.from=example.org"));
    EXPECT_EQ(outcome.end_of_message.back().code, 'c');
    next.quit();
  }
  EXPECT_TRUE(descriptors_settle_at(corvane.pid(), idle)) << descriptor_list(corvane.pid());
  EXPECT_EQ(corvane.stop(), 0) << corvane.err();
}

// A TLS 1.2 ClientHello as OpenSSL 3.0 sends it (server name mx.example.org).
std::string tls_client_hello() {
  const std::string hex =
      "16030100ce010000ca030356353aea77372187c5d31ecbafb1d6f2afd1dce25713c6401767f29705454afe00"
      "0038c02cc030009fcca9cca8ccaac02bc02f009ec024c028006bc023c0270067c00ac0140039c009c0130033"
      "009d009c003d003c0035002f00ff0100006900000013001100000e6d782e6578616d706c652e6f7267000b00"
      "0403000102000a000c000a001d0017001e00190018002300000016000000170000000d002a00280403050306"
      "03080708080809080a080b080408050806040105010601030303010302040205020602";
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string random_bytes(std::size_t count, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(count, '\0');
  for (char &byte : bytes)
    byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

// Other protocols on the milter port. Their first four bytes are read as a
// packet length: "GET " and a TLS record header are lengths far above the
// 1 MiB bound, so the daemon closes at once; a valid length followed by too
// few bytes leaves it waiting for the rest, which must not hold up anyone
// else. Meanwhile a normal MTA keeps sending messages.
TEST_F(FaultMatrixTest, ForeignProtocolsOnTheMilterPort) {
  ASSERT_TRUE(start());
  Corvane &corvane = this->corvane();
  const std::size_t idle = idle_descriptors(corvane.pid());

  const std::string random = random_bytes(1 << 20, 20240611);
  ASSERT_GT(packet_head(random).length, k_max_milter_packet); // the seed gives a huge length
  // A packet of the largest length, one byte short: the daemon holds 1 MiB
  // and waits.
  const std::string almost_whole = std::string("\0\x10\0\0", 4) + random.substr(0, (1 << 20) - 1);
  struct Case {
    const char *name;
    std::string bytes;
    bool closed_at_once;
  };
  const std::vector<Case> cases{
      {"HTTP request", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", true},
      {"TLS ClientHello", tls_client_hello(), true},
      {"1 MiB of random bytes", random, true},
      {"SSH banner", "SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n", true},
      {"a 1 MiB packet one byte short", almost_whole, false},
      {"three bytes of a length", std::string("\0\0\0", 3), false},
  };

  MessageLoad load(corvane, {.connections = 2});
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    MilterClient foreign = corvane.connect();
    foreign.send_raw(c.bytes); // may be cut short by the close
    if (c.closed_at_once) {
      EXPECT_EQ(foreign.next_event(3s), PeerEvent::closed);
    } else {
      EXPECT_TRUE(foreign.silent_for(500ms));
      // While it waits, a new MTA is served from the start.
      MilterClient other = corvane.connect();
      other.negotiate();
      const MessageOutcome outcome =
          other.run_standard_message(message_from("example.org", "FOREIGN"));
      ASSERT_FALSE(outcome.end_of_message.empty()) << outcome.stage_codes;
      EXPECT_EQ(result_header(outcome.end_of_message),
                verdict_header("dmarc=pass (p=reject) header.from=example.org"));
      other.quit();
    }
  }
  EXPECT_GT(load.completed(), 0u);
  load.stop();
  EXPECT_EQ(joined(load.failures()), "");
  EXPECT_TRUE(descriptors_settle_at(corvane.pid(), idle)) << descriptor_list(corvane.pid());
  EXPECT_EQ(corvane.stop(), 0) << corvane.err();
}

// --- signals under load ---------------------------------------------------------

// Many SIGHUPs while messages flow: each one drops the workers' resolvers and
// caches, and every message still gets its full verdict.
TEST_F(FaultMatrixTest, SighupStormUnderLoad) {
  ASSERT_TRUE(start());
  Corvane &corvane = this->corvane();

  MessageLoad load(corvane, {.connections = 4});
  constexpr int k_signals = 40;
  for (int generation = 1; generation <= k_signals; ++generation) {
    corvane.process().signal(SIGHUP);
    ASSERT_TRUE(corvane.process().wait_for(
        "SIGHUP: config generation advanced to " + std::to_string(generation) + "\n", 5s))
        << generation;
  }
  // Then a burst without waiting: signals that arrive while one is pending
  // merge, but every one taken advances the generation by exactly one.
  for (int i = 0; i < 20; ++i)
    corvane.process().signal(SIGHUP);
  ASSERT_TRUE(corvane.process().wait_for("SIGHUP: config generation advanced to " +
                                         std::to_string(k_signals + 1) + "\n"));
  std::this_thread::sleep_for(300ms);
  const std::uint64_t during_storm = load.completed();
  load.stop();
  EXPECT_GT(during_storm, 0u);
  EXPECT_EQ(joined(load.failures()), "");
  const std::string err = corvane.err();
  std::vector<int> generations;
  const std::regex advanced(R"(SIGHUP: config generation advanced to (\d+)\n)");
  for (auto line = std::sregex_iterator(err.begin(), err.end(), advanced);
       line != std::sregex_iterator(); ++line)
    generations.push_back(std::stoi((*line)[1]));
  ASSERT_GT(generations.size(), static_cast<std::size_t>(k_signals));
  for (std::size_t i = 0; i < generations.size(); ++i)
    ASSERT_EQ(generations[i], static_cast<int>(i) + 1);
  EXPECT_EQ(count_of(err, "SIGHUP received, reloading configuration...\n"), generations.size());
  // Lookups went out again after the caches were dropped.
  EXPECT_GT(dns().query_count(), 2u);
  EXPECT_EQ(corvane.stop(), 0) << corvane.err();
}

// SIGTERM while messages are in flight (each waits 100 ms for its lookup):
// every message started is answered with its verdict, the connections go on
// being served while the daemon drains, new ones are refused, and the daemon
// ends with status 0 once the MTAs have quit.
TEST_F(FaultMatrixTest, SigtermUnderLoad) {
  dns().answer_others(delayed(k_reject, 100ms));
  ASSERT_TRUE(start());
  Corvane &corvane = this->corvane();

  LoadOptions options;
  options.connections = 6;
  // A new domain for every message, so that every message waits for DNS.
  options.domain = [](unsigned connection, std::uint64_t number) {
    return "d" + std::to_string(connection) + "n" + std::to_string(number) + ".drain.test";
  };
  MessageLoad load(corvane, options);
  ASSERT_TRUE(load.wait_for_completed(options.connections));
  corvane.process().signal(SIGTERM);
  ASSERT_TRUE(corvane.process().wait_for("shutdown signal 15 received, draining connections...\n"));
  const std::uint64_t at_signal = load.completed();
  std::this_thread::sleep_for(800ms);
  EXPECT_THROW(corvane.connect({.timeout = 2000ms}), std::runtime_error);
  const std::uint64_t while_draining = load.completed() - at_signal;
  const auto stopping = Clock::now();
  load.stop();
  EXPECT_GT(while_draining, 0u);
  EXPECT_EQ(joined(load.failures()), "");
  EXPECT_EQ(corvane.process().wait_exit(10s), 0) << corvane.err();
  EXPECT_LT(Clock::now() - stopping, 10s);
  EXPECT_EQ(corvane.err().find("drain timeout"), std::string::npos) << corvane.err();
}

// --- descriptor exhaustion -----------------------------------------------------

// MTAs that each sent their negotiation before the daemon accepted them.
class WaitingMtas {
public:
  WaitingMtas(const Corvane &corvane, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      clients_.push_back(corvane.connect());
      if (!clients_.back().send_packet(negotiate_packet(6, k_all_actions, 0)))
        throw std::runtime_error("connection closed before negotiation");
      served_.push_back(false);
    }
  }

  // Notes which have been answered since; returns how many open ones have.
  std::size_t served() {
    std::size_t count = 0;
    for (std::size_t i = 0; i < clients_.size(); ++i) {
      if (clients_[i].fd() < 0) continue;
      if (!served_[i] && clients_[i].next_event(20ms) == PeerEvent::data) {
        clients_[i].read_packet(); // the negotiation reply
        served_[i] = true;
      }
      count += served_[i] ? 1 : 0;
    }
    return count;
  }
  // Closes `count` of the served connections.
  void close_served(std::size_t count) {
    for (std::size_t i = 0; i < clients_.size() && count > 0; ++i) {
      if (clients_[i].fd() < 0 || !served_[i]) continue;
      clients_[i].close();
      --count;
    }
  }
  void close_all() {
    for (MilterClient &client : clients_)
      client.close();
  }
  // A served connection not yet used for a message.
  MilterClient &fresh() {
    for (std::size_t i = 0; i < clients_.size(); ++i) {
      if (clients_[i].fd() < 0 || !served_[i] || used_.count(i) != 0) continue;
      used_.insert(i);
      return clients_[i];
    }
    throw std::runtime_error("no served connection left");
  }
  std::size_t open() const {
    return static_cast<std::size_t>(std::count_if(
        clients_.begin(), clients_.end(), [](const MilterClient &c) { return c.fd() >= 0; }));
  }

private:
  std::vector<MilterClient> clients_;
  std::vector<bool> served_;
  std::set<std::size_t> used_;
};

// A hard limit of 48 descriptors and more MTAs than that: the daemon reports
// the exhaustion about once a second without spinning, and serves the
// connections waiting in the backlog as soon as descriptors come free.
TEST_F(FaultMatrixTest, DescriptorExhaustion) {
  CorvaneOptions options;
  options.global = "WorkerThreads = 1\nMaxConnections = 500\n";
  options.under = {"/usr/bin/prlimit", "--nofile=48:48"};
  ASSERT_TRUE(start(options));
  Corvane &corvane = this->corvane();
  ASSERT_TRUE(corvane.process().wait_for("file descriptor limit set to 48 (requested "))
      << corvane.err();

  // A message first. Under UndefinedBehaviorSanitizer the first check of an
  // object's dynamic type opens a pipe; without a descriptor for it the
  // check fails, and that would be the sanitizer's failure, not the daemon's.
  message("WARMUP");

  constexpr std::size_t k_clients = 60;
  WaitingMtas mtas(corvane, k_clients);
  const std::string quota = "accept error: error.ProcessFdQuotaExceeded\n";
  ASSERT_TRUE(corvane.process().wait_for(quota)) << corvane.err();
  std::this_thread::sleep_for(300ms);
  const std::size_t first = mtas.served();
  ASSERT_GT(first, 10u);
  ASSERT_LT(first, k_clients - 5);

  // Idle at the limit: a line about once a second, and no busy loop.
  const std::size_t lines_before = count_of(corvane.err(), quota);
  const long ticks_before = cpu_ticks(corvane.pid());
  std::this_thread::sleep_for(3s);
  const long busy = cpu_ticks(corvane.pid()) - ticks_before;
  const std::size_t lines = count_of(corvane.err(), quota) - lines_before;
  std::cout << "[ info     ] at the limit: " << first << " of " << k_clients
            << " connections served; in 3 s: " << lines << " accept error lines, " << busy
            << " CPU ticks\n";
  EXPECT_LT(busy, ::sysconf(_SC_CLK_TCK) / 5) << "CPU ticks in 3 s at the limit";
  EXPECT_GE(lines, 1u);
  EXPECT_LE(lines, 5u);

  // Five connections close: five waiting ones take their places.
  mtas.close_served(5);
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(mtas.served(), first);
  // A message on one of them is recorded, whatever the lookup could do
  // without a descriptor to spare.
  MessageOutcome outcome = mtas.fresh().run_standard_message(message_from("example.org", "EMFILE"));
  ASSERT_FALSE(outcome.end_of_message.empty()) << outcome.stage_codes;
  EXPECT_TRUE(recorded_before_continue(outcome.end_of_message));
  std::cout << "[ info     ] at the limit: " << result_header(outcome.end_of_message) << "\n";

  // Most go: the rest of the backlog is served, and with descriptors to
  // spare the lookups work again.
  mtas.close_served(first - 5);
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(mtas.served(), mtas.open()) << corvane.err();
  EXPECT_EQ(mtas.open(), k_clients - first);
  outcome = mtas.fresh().run_standard_message(message_from("example.org", "FREE"));
  ASSERT_FALSE(outcome.end_of_message.empty()) << outcome.stage_codes;
  EXPECT_EQ(result_header(outcome.end_of_message),
            verdict_header("dmarc=pass (p=reject) header.from=example.org"));
  mtas.close_all(); // idle connections would hold up the drain
  EXPECT_EQ(corvane.stop(), 0) << corvane.err();
}

// --- memory ----------------------------------------------------------------------

// 100,000 messages on 16 connections after a warm-up. One message in eight
// comes from one of 3,000 domains, so that the DNS caches run full and evict
// all the time. The resident set must not grow with the message count.
TEST_F(FaultMatrixTest, MemoryStaysFlatOverManyMessages) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's own bookkeeping and quarantine make the resident set meaningless";
#endif
  dns().answer_others(k_reject);
  CorvaneOptions corvane_options;
  corvane_options.global = "DnsCacheSize = 1000\n";
  ASSERT_TRUE(start(corvane_options));
  Corvane &corvane = this->corvane();

  LoadOptions options;
  options.connections = 16;
  options.pipelined = true;
  options.domain = [](unsigned connection, std::uint64_t number) {
    if (number % 8 != 0) return std::string("example.org");
    return "d" + std::to_string((connection * 7919 + number) % 3000) + ".mem.test";
  };
  const auto run = [&](std::uint64_t per_connection) {
    options.messages_per_connection = per_connection;
    MessageLoad load(corvane, options);
    load.join();
    EXPECT_EQ(joined(load.failures()), "");
    return load.completed();
  };
  const auto warm_up_start = Clock::now();
  EXPECT_EQ(run(1250), 20'000u);
  const long warm = rss_kib(corvane.pid());
  const auto start = Clock::now();
  EXPECT_EQ(run(6250), 100'000u);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const long after = rss_kib(corvane.pid());
  std::cout << "[ info     ] VmRSS after 20,000 warm-up messages: " << warm
            << " KiB; after 100,000 more: " << after << " KiB (growth " << after - warm
            << " KiB); 100,000 messages in " << seconds << " s, warm-up "
            << std::chrono::duration<double>(start - warm_up_start).count() << " s\n";
  EXPECT_LT(after - warm, 8 * 1024);
  EXPECT_EQ(corvane.stop(), 0) << corvane.err();
}

// --- syslog --------------------------------------------------------------------

// Whether this process may make a private mount namespace.
bool can_unshare_mounts() {
  if (::geteuid() != 0 || !std::filesystem::exists("/usr/bin/unshare")) return false;
  ProcessRun run;
  run.program = "/usr/bin/unshare";
  run.args = {"--mount", "--propagation", "private", "/bin/true"};
  return run_process(run).exit_status == 0;
}

// The daemon runs in a private mount namespace whose /dev is an empty tmpfs
// holding one symbolic link: /dev/log to the test's socket. Nothing of the
// machine's own /dev or syslog is touched.
CorvaneOptions in_private_dev(const std::string &log_socket) {
  CorvaneOptions options;
  options.global = "Syslog = yes\n";
  options.under = {"/usr/bin/unshare",
                   "--mount",
                   "--propagation",
                   "private",
                   "/bin/sh",
                   "-c",
                   "mount -t tmpfs corvane-test /dev && ln -s \"$0\" /dev/log && exec \"$@\"",
                   log_socket};
  return options;
}

#define SKIP_UNLESS_PRIVATE_MOUNTS()                                                               \
  if (!can_unshare_mounts())                                                                       \
  GTEST_SKIP() << "needs root and unshare --mount, to give the daemon a /dev/log of the test's "   \
                  "own"

TEST_F(FaultMatrixTest, SyslogRestartIsFollowed) {
  SKIP_UNLESS_PRIVATE_MOUNTS();
  SyslogSocket syslog;
  ASSERT_TRUE(start(in_private_dev(syslog.path())));
  EXPECT_EQ(syslog.wait_for("Corvane starting"),
            "<22>corvane[" + std::to_string(corvane().pid()) +
                "]: Corvane starting, AuthservID=" + k_authserv_id + ", listeners=1");
  message("BEFORE");
  EXPECT_NE(syslog.wait_for("id=BEFORE peer="), "");

  // The syslog daemon restarts between two lines: both threads that log (the
  // main thread for signals, a worker for messages) reach the new one.
  syslog.restart();
  corvane().process().signal(SIGHUP);
  EXPECT_NE(syslog.wait_for("SIGHUP: config generation advanced to 1"), "");
  for (const std::string queue_id : {"AFTER1", "AFTER2"}) {
    message(queue_id);
    EXPECT_NE(syslog.wait_for("id=" + queue_id + " peer="), "");
  }
  // Nothing went to standard error instead.
  EXPECT_EQ(corvane().err(), "");
  EXPECT_EQ(corvane().stop(), 0);
}

// The syslog daemon is away for a moment, and lines are logged meanwhile:
// those are lost, but logging must resume once it is back (a thread looks
// for the socket again at most once a second).
TEST_F(FaultMatrixTest, SyslogAwayForAWhileIsFollowed) {
  SKIP_UNLESS_PRIVATE_MOUNTS();
  SyslogSocket syslog;
  ASSERT_TRUE(start(in_private_dev(syslog.path())));
  EXPECT_NE(syslog.wait_for("Corvane starting"), "");

  syslog.stop();
  corvane().process().signal(SIGHUP);
  message("WHILEDOWN");
  syslog.start();
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));

  corvane().process().signal(SIGHUP);
  EXPECT_NE(syslog.wait_for("SIGHUP: config generation advanced to 2"), "");
  for (const std::string queue_id : {"AFTER1", "AFTER2"}) {
    message(queue_id);
    EXPECT_NE(syslog.wait_for("id=" + queue_id + " peer="), "");
  }
  EXPECT_EQ(corvane().stop(), 0);
}

} // namespace
} // namespace corvane::test
