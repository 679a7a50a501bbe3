#include "unit/filter/filter_daemon.hpp"

#include "daemon/daemon_hooks.hpp"
#include "dns/thread_resolver.hpp"
#include "filter/trusted_sealers.hpp"
#include "support/daemon_process.hpp"

#include <gtest/gtest.h>

namespace corvane::test {

namespace {

// SMFIF_ADDHDRS and SMFIF_CHGHDRS: all the daemon asks for.
constexpr std::uint32_t k_filter_actions = 0x11;

void expect_continue(const Replies &replies, const std::string &stage) {
  EXPECT_EQ(replies, Replies{reply('c')}) << "answer to " << stage;
}

} // namespace

FilterDaemon::FilterDaemon(config::Config config, daemon::ReferenceData reference,
                           std::uint16_t dns_port,
                           const std::function<void(milter::MilterHooks &)> &adjust)
    : config_(std::move(config)), reference_(std::move(reference)),
      settings_(daemon::filter_settings(config_, reference_)) {
  dns::ResolverSettings resolver;
  resolver.nameservers = {"127.0.0.1"};
  resolver.port = dns_port;
  resolver.timeout_ms = 2000;
  resolver.retries = 0;
  dns::install_thread_resolver_settings(resolver);
  milter::WorkerPoolSettings settings;
  settings.listeners = config_.listeners;
  settings.hooks = daemon::daemon_hooks(settings_);
  if (adjust) adjust(settings.hooks);
  settings.drain_timeout_ms = 2000;
  const auto started = pool_.start(settings);
  if (!started) ADD_FAILURE() << "the worker did not start: " << error_name(started.error());
}

MilterClient FilterDaemon::connect(std::size_t listener, MilterClientOptions options) const {
  const config::ListenAddress &address = config_.listeners.at(listener).address;
  if (address.kind == config::ListenAddress::Kind::unix_domain)
    return MilterClient::open_unix(address.path, options);
  return MilterClient::open_tcp(address.host, address.port, options);
}

daemon::ReferenceData with_trusted_sealer(const std::string &sealer) {
  const TempDir dir;
  daemon::ReferenceData reference;
  reference.trusted_sealers = filter::load_trusted_sealers(
      dir.write("sealers", "# forwarders whose ARC verdicts we take\n" + sealer + "\n"));
  return reference;
}

Replies send_message(MilterClient &client, const TestMessage &message) {
  EXPECT_EQ(client.negotiate(6, message.actions, 0).actions, message.actions & k_filter_actions);
  MacroList connection;
  if (message.daemon_name) connection.emplace_back("{daemon_name}", *message.daemon_name);
  if (message.client_addr) connection.emplace_back("{client_addr}", *message.client_addr);
  client.macros('C', connection);
  expect_continue(client.connect(message.connect), "connect");
  expect_continue(client.helo("mail.example.org"), "HELO");
  if (message.queue_id) client.macros('M', {{"i", *message.queue_id}});
  expect_continue(client.mail(message.sender), "MAIL");
  expect_continue(client.rcpt("<bob@example.net>"), "RCPT");
  for (const auto &[name, value] : message.headers)
    expect_continue(client.header(name, value), "header " + name);
  expect_continue(client.end_of_headers(), "end of headers");
  expect_continue(client.body("Hello.\r\n"), "body");
  if (message.queue_id) client.macros('E', {{"i", *message.queue_id}});
  return client.end_of_message();
}

Replies deliver(const FilterDaemon &daemon, const TestMessage &message, std::size_t listener) {
  MilterClient client = daemon.connect(listener);
  const Replies answer = send_message(client, message);
  expect_continue(client.mail("<next@bank.example>"), "the next message's MAIL");
  client.quit();
  return answer;
}

} // namespace corvane::test
