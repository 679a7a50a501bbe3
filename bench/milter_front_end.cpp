// The milter front end under load, in one process: two workers (as the daemon
// starts them) with an end-of-message hook that inserts one header, driven by
// the load generator over a unix socket and over TCP at 1, 16 and 64
// connections. Generator and workers share the machine's cores.
//
//   milter_front_end [seconds per run, default 5]
#include "load_generator.hpp"
#include "milter/modification.hpp"
#include "milter/worker_pool.hpp"
#include "support/listener_config.hpp"

#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>

using namespace corvane;

int main(int argc, char **argv) {
  const long seconds = argc > 1 ? std::atol(argv[1]) : 5;
  const std::string path = "/tmp/corvane-front-end-" + std::to_string(::getpid()) + ".sock";
  milter::WorkerPoolSettings settings;
  settings.listeners = {test::unix_listener(path), test::loopback_listener()};
  settings.max_connections = 1000;
  settings.hooks.eom = [](milter::MilterSession &session) {
    auto packet = milter::build_insert_header("X-Bench", "inserted", &session.message.scratch);
    if (!packet || !session.output.queue_reply(*packet)) return 't';
    return 'c';
  };
  milter::WorkerPool pool(2);
  if (auto started = pool.start(settings); !started) {
    std::cerr << "start: " << error_name(started.error()) << "\n";
    return 1;
  }
  for (const bool over_unix : {true, false}) {
    for (const unsigned connections : {1u, 16u, 64u}) {
      bench::LoadOptions options;
      if (over_unix)
        options.endpoint.unix_path = path;
      else
        options.endpoint = {"", "127.0.0.1", settings.listeners[1].address.port};
      options.connections = connections;
      options.duration = std::chrono::seconds(seconds);
      const bench::LoadReport report = bench::run_load(options);
      std::cout << bench::report_line(options, report) << std::endl;
    }
  }
  pool.shutdown();
  return 0;
}
