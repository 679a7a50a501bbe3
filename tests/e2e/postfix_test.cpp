// The whole road of a message with real peers: an SMTP client, a private
// Postfix instance that consults corvane over the milter protocol, Knot DNS
// serving the domain owners' records on port 53, and a sink that receives
// what Postfix delivers.
#include "support/daemon_process.hpp"
#include "support/dns_server.hpp"
#include "support/knot_server.hpp"
#include "support/listener_config.hpp"
#include "support/milter_client.hpp"
#include "support/postfix_server.hpp"
#include "support/smtp.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace corvane::test {
namespace {

using namespace std::chrono_literals;

const std::string k_corvane = CORVANE_BINARY_DIR "/src/daemon/corvane";

const char *k_zone = R"(_dmarc.example    IN TXT "v=DMARC1; p=reject; sp=quarantine"
)";

// Postfix, corvane and Knot DNS, started afresh for each test.
class MailSystem {
public:
  explicit MailSystem(const std::string &more_config = "")
      : knot_({{"test", k_zone}}, own_loopback_address(55), 53),
        reject_milter_(free_loopback_port()), quarantine_milter_(free_loopback_port()),
        reject_smtpd_(free_loopback_port()), quarantine_smtpd_(free_loopback_port()) {
    ::chmod(dir_.path().c_str(), 0755);
    const std::string config =
        "[global]\nAuthservID = mx.e2e.test\nForeground = yes\nSyslog = no\nWorkerThreads = 2\n"
        "PidFile = " +
        dir_.file("run/corvane.pid") + "\nDnsNameserver = " + knot_.address() +
        "\nDnsTimeout = 1\nDnsRetries = 0\nMaxEvaluationMs = 5000\n" + more_config +
        "[listener:reject]\nSocket = inet:" + std::to_string(reject_milter_) +
        "@127.0.0.1\nEnforcement = reject\n[listener:quarantine]\nSocket = inet:" +
        std::to_string(quarantine_milter_) + "@127.0.0.1\nEnforcement = quarantine\n";
    corvane_ = std::make_unique<DaemonProcess>(
        k_corvane, std::vector<std::string>{"-c", dir_.write("corvane.conf", config)}, dir_.path());
    for (const std::uint16_t port : {reject_milter_, quarantine_milter_})
      if (!wait_until_answering([port] { return MilterClient::open_tcp("127.0.0.1", port); }))
        ADD_FAILURE() << "corvane does not answer on port " << port << ":\n" << corvane_->err();
    PostfixOptions options;
    options.relay_port = sink_.port();
    options.smtpd = {{reject_smtpd_, "inet:127.0.0.1:" + std::to_string(reject_milter_)},
                     {quarantine_smtpd_, "inet:127.0.0.1:" + std::to_string(quarantine_milter_)}};
    postfix_ = std::make_unique<PostfixServer>(options);
  }

  SmtpClient smtp(bool quarantine = false) {
    SmtpClient client("127.0.0.1", quarantine ? quarantine_smtpd_ : reject_smtpd_);
    EXPECT_EQ(client.command("EHLO client.e2e.test").code, 250);
    return client;
  }

  // Finds the delivered message whose Subject is `subject`.
  std::optional<ReceivedMail> delivered(const std::string &subject, bool wait = true) {
    if (wait) sink_.wait_for(1, 20s);
    for (int i = 0; i < (wait ? 200 : 1); ++i) {
      for (const auto &mail : sink_.messages())
        if (mail.data.find("\nSubject: " + subject + "\n") != std::string::npos) return mail;
      std::this_thread::sleep_for(50ms);
    }
    return std::nullopt;
  }

  std::string diagnostics() const {
    return "--- corvane\n" + corvane_->err() + "--- postfix\n" + postfix_->log();
  }

  KnotServer &knot() { return knot_; }
  DaemonProcess &corvane() { return *corvane_; }
  SmtpSink &sink() { return sink_; }
  PostfixServer &postfix() { return *postfix_; }

private:
  TempDir dir_;
  KnotServer knot_;
  SmtpSink sink_;
  std::uint16_t reject_milter_, quarantine_milter_, reject_smtpd_, quarantine_smtpd_;
  std::unique_ptr<DaemonProcess> corvane_;
  std::unique_ptr<PostfixServer> postfix_;
};

std::string message(const std::string &from, const std::string &subject,
                    const std::vector<std::string> &extra_headers = {}) {
  std::string text;
  for (const auto &header : extra_headers)
    text += header + "\n";
  return text + "From: " + from + "\nTo: bob@dest.test\nSubject: " + subject + "\nMessage-ID: <" +
         subject + "@e2e.test>\n\nbody\n";
}

const std::string k_spf_pass = "Authentication-Results: mx.e2e.test; spf=pass "
                               "smtp.mailfrom=example.test";

bool skip_without_peers() {
  return !PostfixServer::postfix_path() || !KnotServer::knotd_path() || ::geteuid() != 0;
}

#define SKIP_WITHOUT_PEERS()                                                                       \
  if (skip_without_peers()) GTEST_SKIP() << "needs root, postfix and knotd"

TEST(PostfixTest, PassIsDeliveredWithTheResultHeaderOnTop) {
  SKIP_WITHOUT_PEERS();
  MailSystem mail;
  auto client = mail.smtp();
  const SmtpReply reply =
      client.send_message("alice@example.test", "bob@dest.test",
                          message("Alice <alice@example.test>", "pass", {k_spf_pass}));
  EXPECT_EQ(reply.code, 250) << reply.text;
  const auto delivered = mail.delivered("pass");
  ASSERT_TRUE(delivered) << mail.diagnostics();
  const auto headers = message_headers(delivered->data);
  ASSERT_FALSE(headers.empty());
  EXPECT_EQ(headers.front().first, "Authentication-Results") << delivered->data;
  EXPECT_EQ(headers.front().second,
            "mx.e2e.test;\n\tdmarc=pass (p=reject) header.from=example.test");
}

TEST(PostfixTest, RejectionKeepsTheSessionInStep) {
  SKIP_WITHOUT_PEERS();
  MailSystem mail;
  auto client = mail.smtp();
  const std::string forged = message("The CEO <ceo@example.test>", "forged",
                                     {"Authentication-Results: mx.e2e.test; spf=fail "
                                      "smtp.mailfrom=example.test"});
  SmtpReply reply = client.send_message("ceo@example.test", "bob@dest.test", forged);
  EXPECT_EQ(reply.code, 550);
  EXPECT_EQ(reply.text, "550 5.7.1 rejected by DMARC policy for example.test");
  // The same SMTP session goes on: the next message gets its own verdict.
  reply = client.send_message("alice@example.test", "bob@dest.test",
                              message("alice@example.test", "after", {k_spf_pass}));
  EXPECT_EQ(reply.code, 250) << reply.text;
  reply = client.send_message("ceo@example.test", "bob@dest.test", forged);
  EXPECT_EQ(reply.code, 550) << reply.text;
  EXPECT_EQ(client.command("QUIT").code, 221);
  const auto after = mail.delivered("after");
  ASSERT_TRUE(after) << mail.diagnostics();
  EXPECT_EQ(message_headers(after->data).front().second,
            "mx.e2e.test;\n\tdmarc=pass (p=reject) header.from=example.test");
  EXPECT_FALSE(mail.delivered("forged", false));
  EXPECT_EQ(mail.sink().messages().size(), 1u);
}

TEST(PostfixTest, QuarantineListenerTagsAndForgedHeadersGo) {
  SKIP_WITHOUT_PEERS();
  MailSystem mail;
  auto client = mail.smtp(true);
  const SmtpReply reply = client.send_message(
      "news@mailer.test", "bob@dest.test",
      message("News <news@news.example.test>", "tagged",
              {"Authentication-Results: mx.e2e.test; dmarc=pass header.from=news.example.test",
               "X-Corvane-Disposition: none"}));
  EXPECT_EQ(reply.code, 250) << reply.text;
  const auto delivered = mail.delivered("tagged");
  ASSERT_TRUE(delivered) << mail.diagnostics();
  const auto headers = message_headers(delivered->data);
  std::vector<std::string> ours;
  for (const auto &[name, value] : headers)
    if (name == "Authentication-Results" || name == "X-Corvane-Disposition")
      ours.push_back(name + ": " + value);
  EXPECT_EQ(ours, (std::vector<std::string>{
                      "X-Corvane-Disposition: quarantine",
                      "Authentication-Results: mx.e2e.test;\n\tdmarc=fail (p=quarantine) "
                      "header.from=news.example.test"}))
      << delivered->data;
}

TEST(PostfixTest, DnsDownIsRecordedAsTemperrorAndDelivered) {
  SKIP_WITHOUT_PEERS();
  MailSystem mail;
  mail.knot().stop();
  auto client = mail.smtp();
  const SmtpReply reply = client.send_message("alice@example.test", "bob@dest.test",
                                              message("alice@example.test", "dnsdown"));
  EXPECT_EQ(reply.code, 250) << reply.text;
  const auto delivered = mail.delivered("dnsdown");
  ASSERT_TRUE(delivered) << mail.diagnostics();
  EXPECT_EQ(message_headers(delivered->data).front().second,
            "mx.e2e.test;\n\tdmarc=temperror (DNS lookup failed)");
}

TEST(PostfixTest, OverlongHeaderBlockIsDeferred) {
  SKIP_WITHOUT_PEERS();
  MailSystem mail("MaxHeaders = 20\n");
  std::vector<std::string> many;
  for (int i = 0; i < 30; ++i)
    many.push_back("X-Filler-" + std::to_string(i) + ": x");
  auto client = mail.smtp();
  const SmtpReply reply = client.send_message("alice@example.test", "bob@dest.test",
                                              message("alice@example.test", "overlong", many));
  EXPECT_EQ(reply.code / 100, 4) << reply.text;
  EXPECT_TRUE(mail.corvane().wait_for("tempfail: header block from"));
  EXPECT_FALSE(mail.delivered("overlong", false));
}

TEST(PostfixTest, WithoutCorvaneNothingIsDeliveredUnchecked) {
  SKIP_WITHOUT_PEERS();
  MailSystem mail;
  mail.corvane().signal(SIGKILL);
  mail.corvane().wait_exit();
  auto client = mail.smtp();
  const SmtpReply reply = client.send_message("alice@example.test", "bob@dest.test",
                                              message("alice@example.test", "unchecked"));
  EXPECT_EQ(reply.code / 100, 4) << reply.text;
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(mail.sink().messages().empty());
}

// Reloads and a shutdown while Postfix keeps sending: every message Postfix
// accepted is delivered with its verdict; every other one was deferred, none
// refused for good and none lost.
TEST(PostfixTest, SignalsWhileMailFlows) {
  SKIP_WITHOUT_PEERS();
  MailSystem mail;
  std::atomic<bool> stop{false};
  std::atomic<int> accepted{0}, deferred{0}, other{0};
  std::vector<std::thread> senders;
  for (int s = 0; s < 4; ++s) {
    senders.emplace_back([&, s] {
      for (int i = 0; !stop; ++i) {
        try {
          auto client = mail.smtp();
          const std::string subject = "flow-" + std::to_string(s) + "-" + std::to_string(i);
          const SmtpReply reply =
              client.send_message("alice@example.test", "bob@dest.test",
                                  message("alice@example.test", subject, {k_spf_pass}));
          (reply.code == 250 ? accepted : reply.code / 100 == 4 ? deferred : other)++;
        } catch (const std::exception &) {
          ++other;
        }
      }
    });
  }
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(200ms);
    mail.corvane().signal(SIGHUP);
  }
  std::this_thread::sleep_for(300ms);
  mail.corvane().signal(SIGTERM);
  EXPECT_EQ(mail.corvane().wait_exit(), 0) << mail.corvane().err();
  std::this_thread::sleep_for(500ms);
  stop = true;
  for (auto &sender : senders)
    sender.join();
  EXPECT_GT(accepted.load(), 0);
  EXPECT_GT(deferred.load(), 0); // once corvane is gone
  EXPECT_EQ(other.load(), 0);
  ASSERT_TRUE(mail.sink().wait_for(static_cast<std::size_t>(accepted.load()), 30s))
      << mail.diagnostics();
  const auto delivered = mail.sink().messages();
  EXPECT_EQ(delivered.size(), static_cast<std::size_t>(accepted.load()));
  for (const auto &received : delivered)
    EXPECT_EQ(message_headers(received.data).front().second,
              "mx.e2e.test;\n\tdmarc=pass (p=reject) header.from=example.test")
        << received.data;
}

} // namespace
} // namespace corvane::test
