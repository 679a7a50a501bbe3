#pragma once

// The message filter as the daemon runs it: real workers with the daemon's
// hook table, thread resolvers asking the scriptable DNS server, and the test
// client as the MTA.
#include "config/config.hpp"
#include "daemon/reference_data.hpp"
#include "filter/filter_settings.hpp"
#include "milter/worker_pool.hpp"
#include "support/milter_client.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvane::test {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One message as an MTA sends it on a connection of its own. Absent macros
// are not sent at all.
struct TestMessage {
  std::uint32_t actions = k_all_actions; // offered in the negotiation
  std::optional<std::string> daemon_name = "test-mta";
  std::optional<std::string> queue_id = "4QTEST01";
  std::optional<std::string> client_addr = "192.0.2.10";
  ConnectCommand connect{};
  std::string sender = "<alice@bank.example>";
  HeaderList headers{};
};

class FilterDaemon {
public:
  // One worker serving `config.listeners` with
  // daemon_hooks(filter_settings(config, reference)); `adjust` may add hooks
  // of its own to that table. The thread resolvers ask 127.0.0.1 at
  // `dns_port`.
  FilterDaemon(config::Config config, daemon::ReferenceData reference, std::uint16_t dns_port,
               const std::function<void(milter::MilterHooks &)> &adjust = {});
  FilterDaemon(const FilterDaemon &) = delete;
  FilterDaemon &operator=(const FilterDaemon &) = delete;

  MilterClient connect(std::size_t listener = 0, MilterClientOptions options = {}) const;

  const config::Config &config() const { return config_; }

private:
  config::Config config_;
  daemon::ReferenceData reference_;
  filter::FilterSettings settings_;
  milter::WorkerPool pool_{1};
};

// Reference data whose trusted sealers file names `sealer`.
daemon::ReferenceData with_trusted_sealer(const std::string &sealer);

// Sends every stage of `message` up to end of message, expecting 'c' for each,
// and returns what end of message was answered with.
Replies send_message(MilterClient &client, const TestMessage &message);

// The same on a new connection; afterwards the next command must be answered
// by exactly its own reply, so nothing of the end-of-message answer is left
// over to put the MTA out of step.
Replies deliver(const FilterDaemon &daemon, const TestMessage &message, std::size_t listener = 0);

} // namespace corvane::test
