// The corvane binary judging mail: the test client as the MTA, the scriptable
// DNS server as the domain owners' nameserver (on port 53 of a loopback
// address of its own, where the daemon always asks).
#include "support/daemon_process.hpp"
#include "support/dns_server.hpp"
#include "support/listener_config.hpp"
#include "support/milter_client.hpp"
#include "support/stderr_capture.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvane::test {
namespace {

using namespace std::chrono_literals;

const std::string k_corvane = CORVANE_BINARY_DIR "/src/daemon/corvane";

// Port 53 of a loopback address of this test's own; the next address when
// one is taken.
std::unique_ptr<DnsServer> nameserver_on_port_53() {
  for (unsigned attempt = 0; attempt < 32; ++attempt) {
    DnsServerOptions options;
    options.address = own_loopback_address(53, attempt);
    options.port = 53;
    try {
      return std::make_unique<DnsServer>(options);
    } catch (const std::runtime_error &) {
      // taken by another test: try the next address
    }
  }
  throw std::runtime_error("no loopback address with a free port 53");
}

MilterPacket result(const std::string &entry) {
  return insert_header("Authentication-Results", "mx.example.net;\n\t" + entry);
}
const MilterPacket k_tag = insert_header("X-Corvane-Disposition", "quarantine");

StandardMessage message(bool first, const std::string &id, const std::string &from,
                        const std::vector<std::pair<std::string, std::string>> &more = {}) {
  StandardMessage m;
  m.connection_stages = first;
  m.queue_id = id;
  m.sender = "<bounce@bank.example>";
  m.headers = {{"From", from}, {"Subject", "test"}};
  m.headers.insert(m.headers.end(), more.begin(), more.end());
  return m;
}

// The lines of standard error that report messages, without the prefix.
std::vector<std::string> message_lines(const std::string &err) {
  std::vector<std::string> lines;
  for (std::string line : log_messages(err)) {
    const std::size_t elapsed = line.find(" elapsed=");
    if (elapsed != std::string::npos) line.erase(elapsed);
    if (line.starts_with("id=") || line.starts_with("dmarc:")) lines.push_back(line);
  }
  return lines;
}

TEST(DaemonFilterTest, PassRejectQuarantineAndTemperrorOverOneConnection) {
  const auto dns = nameserver_on_port_53();
  dns->answer("_dmarc.bank.example", txt_answer({"v=DMARC1; p=reject"}));
  dns->answer("_dmarc.quarantine.example", txt_answer({"v=DMARC1; p=quarantine"}));
  dns->answer("_dmarc.broken.example", rcode_answer(2));

  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  const std::uint16_t port = free_loopback_port();
  const std::string socket_path = dir.file("corvane.sock");
  const std::string config = dir.write(
      "corvane.conf",
      "[global]\nSyslog = no\nForeground = yes\nLogLevel = info\nPidFile = " +
          dir.file("run/corvane.pid") +
          "\nWorkerThreads = 1\nAuthservID = mx.example.net\nDnsNameserver = " + dns->address() +
          "\nDnsTimeout = 2\nDnsRetries = 0\n"
          "[listener:mta]\nSocket = inet:" +
          std::to_string(port) +
          "@127.0.0.1\nEnforcement = reject\n"
          "[listener:local]\nSocket = unix:" +
          socket_path + "\nEnforcement = quarantine\n");
  DaemonProcess daemon(k_corvane, {"-c", config}, dir.path());
  ASSERT_TRUE(daemon.wait_for("Corvane starting, AuthservID=mx.example.net, listeners=2\n"))
      << daemon.err();

  // The start-up line comes before the workers listen.
  ASSERT_TRUE(wait_until_answering([port] { return MilterClient::open_tcp("127.0.0.1", port); }))
      << daemon.err();
  auto mta = MilterClient::open_tcp("127.0.0.1", port);
  EXPECT_EQ(mta.negotiate().actions, 0x11u);
  const auto pass = mta.run_standard_message(
      message(true, "Q1", "Alice <alice@bank.example>",
              {{"Authentication-Results", "mx.example.net; spf=pass smtp.mailfrom=bank.example"}}));
  EXPECT_EQ(pass.stage_codes, "cccccccccc");
  EXPECT_EQ(pass.end_of_message,
            (Replies{result("dmarc=pass (p=reject) header.from=bank.example"), reply('c')}));
  // The reply-code packet is the whole answer: the next message's replies
  // stay in step.
  const auto rejected = mta.run_standard_message(message(false, "Q2", "bob@bank.example"));
  EXPECT_EQ(rejected.stage_codes, "ccccccy");
  EXPECT_EQ(
      rejected.end_of_message,
      (Replies{result("dmarc=fail (p=reject) header.from=bank.example"),
               {'y', std::string("550 5.7.1 rejected by DMARC policy for bank.example") + '\0'}}));
  const auto tagged = mta.run_standard_message(message(false, "Q3", "carol@quarantine.example"));
  EXPECT_EQ(tagged.stage_codes, "ccccccc");
  EXPECT_EQ(tagged.end_of_message,
            (Replies{result("dmarc=fail (p=quarantine) header.from=quarantine.example"), k_tag,
                     reply('c')}));
  const auto deferred = mta.run_standard_message(message(false, "Q4", "dave@broken.example"));
  EXPECT_EQ(deferred.stage_codes, "ccccccc");
  EXPECT_EQ(deferred.end_of_message,
            (Replies{result("dmarc=temperror (DNS lookup failed)"), reply('c')}));
  mta.quit();

  // The second listener's Enforcement: a rejection becomes a tag.
  auto local = MilterClient::open_unix(socket_path);
  local.negotiate();
  const auto local_tagged = local.run_standard_message(message(true, "Q5", "bob@bank.example"));
  EXPECT_EQ(local_tagged.end_of_message,
            (Replies{result("dmarc=fail (p=reject) header.from=bank.example"), k_tag, reply('c')}));
  local.quit();

  const std::string head = "peer=test-mta[127.0.0.1] client=192.0.2.10 domain=";
  const std::vector<std::string> expected{
      "id=Q1 " + head + "bank.example",
      "dmarc: bank.example: fail under p=reject, rejecting at SMTP time",
      "id=Q2 " + head + "bank.example",
      "dmarc: quarantine.example: fail under p=quarantine, tagged X-Corvane-Disposition for the "
      "LDA",
      "id=Q3 " + head + "quarantine.example",
      "id=Q4 " + head + "broken.example",
      "dmarc: bank.example: fail under p=reject, tagged X-Corvane-Disposition for the LDA",
      "id=Q5 peer=test-mta[local] client=192.0.2.10 domain=bank.example",
  };
  EXPECT_TRUE(daemon.wait_for("id=Q5 ")) << daemon.err();
  EXPECT_EQ(message_lines(daemon.err()), expected) << daemon.err();
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.wait_exit(), 0) << daemon.err();
}

} // namespace
} // namespace corvane::test
