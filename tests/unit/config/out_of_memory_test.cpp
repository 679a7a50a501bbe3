#include "config/load_config.hpp"
#include "config_text.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <new>
#include <string>

// Lets a test make the N-th allocation on this thread fail.
namespace {
thread_local long t_allocations_left = -1; // -1: never fail
}
void *operator new(std::size_t size) {
  if (t_allocations_left == 0) throw std::bad_alloc();
  if (t_allocations_left > 0) --t_allocations_left;
  if (void *p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace corvane::config {
namespace {

// Every allocation of the load in turn fails: each failure is reported as
// OutOfMemory with exactly one line naming the stage, and never crashes.
TEST(ConfigOutOfMemory, EveryAllocationFailureIsReported) {
  log::install_log_settings(log::initial_log_settings());
  const corvane::test::TempDir dir;
  const std::string path =
      dir.write("corvane.conf", "AuthservID = mx.example.org.with.a.long.name\n"
                                "DnsNameserver = 10.0.0.1, 10.0.0.2, 10.0.0.3\n"
                                "User = mailnull:mail\n"
                                "[listener:first-listener-with-a-long-name]\n"
                                "Socket = unix:/var/run/corvane/a-rather-long-socket-name.sock\n"
                                "[listener:second-listener-with-a-long-name]\n"
                                "Socket = inet:8894@127.0.0.1\nEnforcement = reject\n");
  const std::string read_failed =
      test::log_prefix() + "failed to load config " + path + ": error.OutOfMemory\n";
  const std::string build_failed = test::log_prefix() + "config parse error: error.OutOfMemory\n";
  int read_failures = 0;
  int build_failures = 0;
  bool loaded = false;
  for (long n = 0; n < 10000 && !loaded; ++n) {
    SCOPED_TRACE(n);
    corvane::test::StderrCapture capture;
    t_allocations_left = n;
    auto config = load_config(path);
    t_allocations_left = -1;
    if (config) {
      loaded = true;
      EXPECT_EQ(config->listeners.size(), 2u);
      EXPECT_EQ(capture.text(), "");
      break;
    }
    ASSERT_EQ(config.error(), Error::OutOfMemory);
    const std::string seen = capture.text();
    if (seen == read_failed)
      ++read_failures;
    else if (seen == build_failed)
      ++build_failures;
    else
      ADD_FAILURE() << seen;
  }
  EXPECT_TRUE(loaded);
  EXPECT_GT(read_failures, 0);
  EXPECT_GT(build_failures, 0);
}

} // namespace
} // namespace corvane::config
