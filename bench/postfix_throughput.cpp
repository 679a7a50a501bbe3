// What corvane costs Postfix: Postfix's smtp-source sends the same number of
// messages to two smtpd services of one private Postfix instance, one with
// corvane as its milter and one without, in the same run; Postfix relays
// everything to smtp-sink. Prints the acceptance rate of each and the ratio.
// Needs root, Postfix (smtp-source, smtp-sink) and the built daemon.
//
//   postfix_throughput [messages, default 5000] [sessions, default 16]
#include "example_nameserver.hpp"
#include "support/daemon_process.hpp"
#include "support/listener_config.hpp"
#include "support/milter_client.hpp"
#include "support/postfix_server.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iomanip>
#include <iostream>
#include <string>
#include <thread>

using namespace corvane;
using Clock = std::chrono::steady_clock;

namespace {

// Runs smtp-source against the port; the seconds it took.
double send_all(std::uint16_t port, int messages, int sessions) {
  const std::string command =
      "smtp-source -s " + std::to_string(sessions) + " -m " + std::to_string(messages) +
      " -l 1024 -f alice@example.org -t bob@dest.test 127.0.0.1:" + std::to_string(port);
  const auto started = Clock::now();
  if (std::system(command.c_str()) != 0) std::cerr << "smtp-source failed\n";
  return std::chrono::duration<double>(Clock::now() - started).count();
}

// Waits until Postfix has delivered everything, so both runs start alike.
void wait_for_empty_queue(const test::PostfixServer &postfix) {
  for (int i = 0; i < 1200; ++i) {
    if (postfix.queue().find("Mail queue is empty") != std::string::npos) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

} // namespace

int main(int argc, char **argv) {
  const int messages = argc > 1 ? std::atoi(argv[1]) : 5000;
  const int sessions = argc > 2 ? std::atoi(argv[2]) : 16;
  if (::geteuid() != 0 || !test::PostfixServer::postfix_path()) {
    std::cerr << "postfix_throughput: needs root and Postfix\n";
    return 2;
  }
  test::DnsServer server(bench::example_nameserver_options(201));
  bench::answer_as_example_nameserver(server);

  test::TempDir dir;
  ::chmod(dir.path().c_str(), 0755); // Postfix's smtpd reaches the unix socket
  const std::uint16_t milter = test::free_loopback_port();
  const std::string unix_socket = dir.file("corvane.sock");
  const std::string config = dir.write(
      "corvane.conf", "[global]\nAuthservID = mx.e2e.test\nForeground = yes\nSyslog = no\n"
                      "LogLevel = err\nUMask = 000\nPidFile = " +
                          dir.file("corvane.pid") + "\nDnsNameserver = " + server.address() +
                          "\n[listener:mta]\nSocket = inet:" + std::to_string(milter) +
                          "@127.0.0.1\nEnforcement = none\n[listener:local]\nSocket = unix:" +
                          unix_socket + "\nEnforcement = none\n");
  test::DaemonProcess corvane(CORVANE_BINARY_DIR "/src/daemon/corvane", {"-c", config}, dir.path());
  if (!test::wait_until_answering(
          [milter] { return test::MilterClient::open_tcp("127.0.0.1", milter); })) {
    std::cerr << "postfix_throughput: corvane does not answer\n" << corvane.err();
    return 1;
  }

  const std::uint16_t sink_port = test::free_loopback_port();
  const pid_t sink = ::fork();
  if (sink == 0) {
    ::execlp("smtp-sink", "smtp-sink", "-u", "postfix",
             ("127.0.0.1:" + std::to_string(sink_port)).c_str(), "256",
             static_cast<char *>(nullptr));
    ::_exit(127);
  }
  // The smallest milter there is (every answer 'c'): what the protocol itself
  // costs Postfix, whatever the filter does.
  const std::uint16_t stub_milter = test::free_loopback_port();
  const pid_t stub = ::fork();
  if (stub == 0) {
    const std::string endpoint = "127.0.0.1:" + std::to_string(stub_milter);
    ::execl(CORVANE_BINARY_DIR "/bench/milter_stub", "milter_stub", "--tcp", endpoint.c_str(),
            static_cast<char *>(nullptr));
    ::_exit(127);
  }
  const std::uint16_t with_port = test::free_loopback_port();
  const std::uint16_t with_unix_port = test::free_loopback_port();
  const std::uint16_t stub_port = test::free_loopback_port();
  const std::uint16_t without_port = test::free_loopback_port();
  test::PostfixOptions options;
  options.relay_port = sink_port;
  options.smtpd = {{with_port, "inet:127.0.0.1:" + std::to_string(milter)},
                   {with_unix_port, "unix:" + unix_socket},
                   {stub_port, "inet:127.0.0.1:" + std::to_string(stub_milter)},
                   {without_port, ""}};
  options.main_cf = {"smtpd_client_connection_count_limit = 0",
                     "smtpd_client_connection_rate_limit = 0", "default_process_limit = 200"};
  double with_seconds = 0;
  double with_unix_seconds = 0;
  double stub_seconds = 0;
  double without_seconds = 0;
  {
    test::PostfixServer postfix(options);
    // A warm-up, then alternate so that neither run has the quieter machine.
    send_all(without_port, 200, sessions);
    send_all(with_port, 200, sessions);
    send_all(with_unix_port, 200, sessions);
    send_all(stub_port, 200, sessions);
    wait_for_empty_queue(postfix);
    for (int round = 0; round < 2; ++round) {
      without_seconds += send_all(without_port, messages / 2, sessions);
      wait_for_empty_queue(postfix);
      with_seconds += send_all(with_port, messages / 2, sessions);
      wait_for_empty_queue(postfix);
      with_unix_seconds += send_all(with_unix_port, messages / 2, sessions);
      wait_for_empty_queue(postfix);
      stub_seconds += send_all(stub_port, messages / 2, sessions);
      wait_for_empty_queue(postfix);
    }
  }
  for (const pid_t child : {sink, stub}) {
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
  }
  corvane.signal(SIGTERM);
  corvane.wait_exit();
  const double with_rate = messages / with_seconds;
  const double with_unix_rate = messages / with_unix_seconds;
  const double without_rate = messages / without_seconds;
  const double stub_rate = messages / stub_seconds;
  std::cout << std::fixed << std::setprecision(1) << "postfix_throughput messages=" << messages
            << " sessions=" << sessions << " without_milter_rate=" << without_rate
            << " with_corvane_inet_rate=" << with_rate
            << " with_corvane_unix_rate=" << with_unix_rate
            << " with_stub_milter_rate=" << stub_rate << std::setprecision(3)
            << " inet_ratio=" << with_rate / without_rate
            << " unix_ratio=" << with_unix_rate / without_rate
            << " stub_ratio=" << stub_rate / without_rate << std::endl;
  return 0;
}
