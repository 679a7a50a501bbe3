// The real daemon under load: `corvane` with the real filter, its DNS answered
// by the scriptable server on port 53 of a loopback address of its own (so the
// cache warms up after the first messages), driven by the load generator.
//
//   daemon_load [--connections N] [--seconds S | --messages M] [--tcp]
//               [--workers W] [--wrapper "valgrind --tool=callgrind ..."]
//
// With --messages 0 the daemon starts and stops without a message: the
// baseline for counting instructions per message under a wrapper.
#include "core/number.hpp"
#include "example_nameserver.hpp"
#include "load_generator.hpp"
#include "support/daemon_process.hpp"
#include "support/listener_config.hpp"
#include "support/milter_client.hpp"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

using namespace corvane;

namespace {

struct Options {
  unsigned connections = 16;
  unsigned workers = 2;
  std::uint64_t messages = 0; // 0 with --messages: start and stop only
  bool messages_given = false;
  unsigned seconds = 10;
  bool tcp = false;
  std::string wrapper;
};

bool read_options(int argc, char **argv, Options &options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--tcp") {
      options.tcp = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const std::string_view value = argv[++i];
    if (option == "--wrapper") {
      options.wrapper = value;
    } else if (option == "--messages") {
      const auto n = read_u64(value);
      if (!n) return false;
      options.messages = *n;
      options.messages_given = true;
    } else {
      const auto n = read_u32(value);
      if (!n || *n == 0) return false;
      if (option == "--connections")
        options.connections = *n;
      else if (option == "--seconds")
        options.seconds = *n;
      else if (option == "--workers")
        options.workers = *n;
      else
        return false;
    }
  }
  return true;
}

std::vector<std::string> words(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string word; in >> word;)
    out.push_back(word);
  return out;
}

} // namespace

int main(int argc, char **argv) {
  Options options;
  if (!read_options(argc, argv, options)) {
    std::cerr << "usage: daemon_load [--connections N] [--seconds S | --messages M] [--tcp] "
                 "[--workers W] [--wrapper COMMAND]\n";
    return 2;
  }
  test::DnsServer server(bench::example_nameserver_options(200));
  bench::answer_as_example_nameserver(server);

  test::TempDir dir;
  const std::string socket = dir.file("corvane.sock");
  const std::uint16_t port = test::free_loopback_port();
  const std::string config = dir.write(
      "corvane.conf",
      "[global]\nAuthservID = mx.example.net\nForeground = yes\nSyslog = no\nLogLevel = err\n"
      "PidFile = " +
          dir.file("corvane.pid") + "\nWorkerThreads = " + std::to_string(options.workers) +
          "\nDnsNameserver = " + server.address() +
          "\nMaxConnections = 1000\n[listener:unix]\nSocket = unix:" + socket +
          "\nEnforcement = reject\n[listener:inet]\nSocket = inet:" + std::to_string(port) +
          "@127.0.0.1\nEnforcement = reject\n");

  std::vector<std::string> command = words(options.wrapper);
  command.push_back(CORVANE_BINARY_DIR "/src/daemon/corvane");
  const std::string program = command.front();
  std::vector<std::string> args(command.begin() + 1, command.end());
  args.insert(args.end(), {"-c", config});
  test::DaemonProcess daemon(program.front() == '/' ? program : "/usr/bin/" + program, args,
                             dir.path());
  // Ready once the listener answers; a daemon under a wrapper starts slowly.
  if (!test::wait_until_answering([&socket] { return test::MilterClient::open_unix(socket); },
                                  std::chrono::seconds(60))) {
    std::cerr << "daemon_load: the daemon does not answer\n" << daemon.err();
    return 1;
  }

  if (!(options.messages_given && options.messages == 0)) {
    bench::LoadOptions load;
    if (options.tcp)
      load.endpoint = {"", "127.0.0.1", port};
    else
      load.endpoint.unix_path = socket;
    load.connections = options.connections;
    load.messages = options.messages;
    load.duration = std::chrono::seconds(options.seconds);
    load.reply_timeout = std::chrono::seconds(60);
    const bench::LoadReport report = bench::run_load(load);
    std::cout << bench::report_line(load, report) << " dns_queries=" << server.query_count()
              << std::endl;
  }
  daemon.signal(SIGTERM);
  const int status = daemon.wait_exit(std::chrono::seconds(120));
  if (status != 0) std::cerr << "daemon exit " << status << "\n" << daemon.err();
  return status == 0 ? 0 : 1;
}
