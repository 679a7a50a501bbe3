#include "log/log.hpp"
#include "log/stderr_lock.hpp"
#include "support/stderr_capture.hpp"
#include "support/syslog_socket.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

// Counts allocations made on the calling thread, to show that logging makes none.
// g++ 12 takes the free below for a mismatch once it inlines these into
// standard containers; they are a matched pair.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
thread_local long t_allocations = 0;
}
void *operator new(std::size_t size) {
  ++t_allocations;
  if (void *p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace corvane::log {
namespace {

const std::string k_pid = std::to_string(::getpid());

LogSettings settings(bool syslog, std::uint8_t facility, std::uint8_t level,
                     std::string_view ident) {
  LogSettings s;
  s.syslog = syslog;
  s.facility = facility;
  s.level = level;
  s.set_ident(ident);
  return s;
}

// The test's syslog daemon, where the logger sends while it lives.
class FakeSyslog : public test::SyslogSocket {
public:
  FakeSyslog() { set_syslog_socket_path(path().c_str()); }
  ~FakeSyslog() {
    close_log_connection();
    set_syslog_socket_path(nullptr);
  }
};

// A piece that records being formatted; found by argument-dependent lookup.
struct CountingPiece {
  int *formatted;
};
void write_piece(LogLine &line, const CountingPiece &piece) {
  ++*piece.formatted;
  line.append("counted");
}

class LogTest : public ::testing::Test {
protected:
  void TearDown() override {
    close_log_connection();
    install_log_settings(initial_log_settings());
  }
};

TEST_F(LogTest, InitialAndCheckToolSettings) {
  const LogSettings initial = initial_log_settings();
  EXPECT_FALSE(initial.syslog);
  EXPECT_EQ(initial.facility, 2);
  EXPECT_EQ(initial.level, 6);
  EXPECT_EQ(initial.ident(), "pellwyn");
  const LogSettings check = check_tool_log_settings();
  EXPECT_FALSE(check.syslog);
  EXPECT_EQ(check.facility, 2);
  EXPECT_EQ(check.level, 3);
  EXPECT_EQ(check.ident(), "corvane-check");
  EXPECT_EQ(current_log_settings().ident(), "pellwyn");
}

TEST_F(LogTest, SyslogDatagramCarriesPriAndPrefix) {
  struct Case {
    std::uint8_t facility;
    Severity severity;
    std::string pri;
  };
  const Case cases[] = {
      {19, Severity::warning, "<156>"},
      {2, Severity::info, "<22>"},
      {2, Severity::err, "<19>"},
      {23, Severity::debug, "<191>"},
  };
  FakeSyslog syslog;
  for (const auto &c : cases) {
    install_log_settings(settings(true, c.facility, 7, "corvane"));
    open_log_connection();
    log_message(c.severity, "worker ", 3, " started");
    EXPECT_EQ(syslog.receive(), c.pri + "corvane[" + k_pid + "]: worker 3 started");
  }
}

TEST_F(LogTest, StandardErrorDropsPriAndAddsNewline) {
  test::StderrCapture capture;
  log_message(Severity::info, "config: ", -42, " / ", 18446744073709551615u);
  EXPECT_EQ(capture.text(), "pellwyn[" + k_pid + "]: config: -42 / 18446744073709551615\n");
}

TEST_F(LogTest, LevelFiltersAndSkipsFormatting) {
  int formatted = 0;
  test::StderrCapture capture;
  install_log_settings(settings(false, 2, 4, "x"));
  log_message(Severity::info, CountingPiece{&formatted});
  log_message(Severity::debug, CountingPiece{&formatted});
  EXPECT_EQ(formatted, 0);
  log_message(Severity::warning, CountingPiece{&formatted});
  log_message(Severity::err, "e");
  EXPECT_EQ(formatted, 1);
  EXPECT_EQ(capture.text(), "x[" + k_pid + "]: counted\nx[" + k_pid + "]: e\n");
}

TEST_F(LogTest, LongLineIsCutAtBufferSize) {
  const std::string long_text(3000, 'a');
  FakeSyslog syslog;
  install_log_settings(settings(true, 2, 6, "corvane"));
  open_log_connection();
  log_message(Severity::info, long_text, "never seen");
  const std::string datagram = syslog.receive();
  const std::string prefix = "<22>corvane[" + k_pid + "]: ";
  ASSERT_EQ(datagram.size(), 1024u);
  EXPECT_EQ(datagram.substr(0, prefix.size()), prefix);
  EXPECT_EQ(datagram.substr(prefix.size()), std::string(1024 - prefix.size(), 'a'));

  close_log_connection();
  install_log_settings(initial_log_settings());
  test::StderrCapture capture;
  log_message(Severity::info, long_text);
  const std::string line = capture.text();
  const std::string pri = "<22>";
  ASSERT_EQ(line.size(), 1024u - pri.size() + 1);
  EXPECT_EQ(line.back(), '\n');
  EXPECT_EQ(line.substr(0, 8), "pellwyn[");
}

TEST_F(LogTest, ControlBytesBecomeUnderscores) {
  test::StderrCapture capture;
  install_log_settings(settings(false, 2, 6, "id\nx"));
  log_message(Severity::info, std::string_view("a\nb\tc\x7F"
                                               "d\x01\x1F"
                                               "e\x80",
                                               11));
  EXPECT_EQ(capture.text(), "id_x[" + k_pid + "]: a_b_c_d__e\x80\n");
}

TEST_F(LogTest, ErrorNameAndSafeFieldPieces) {
  test::StderrCapture capture;
  log_message(Severity::info, ErrorName{Error::FileNotFound}, " ", SafeField{""}, " ",
              SafeField{"a b\x7F\x21\x7E\x80"}, " ", SafeField{"mail.example"});
  EXPECT_EQ(capture.text(), "pellwyn[" + k_pid + "]: error.FileNotFound - a_b_!~_ mail.example\n");
}

TEST_F(LogTest, SafeFieldLongerThanItsChunkIsWhole) {
  test::StderrCapture capture;
  std::string value(200, 'x');
  value[130] = ' ';
  log_message(Severity::info, SafeField{value});
  std::string expected = value;
  expected[130] = '_';
  EXPECT_EQ(capture.text(), "pellwyn[" + k_pid + "]: " + expected + "\n");
}

TEST_F(LogTest, SyslogWithoutSocketLosesLinesSilently) {
  set_syslog_socket_path("/nonexistent/corvane-log");
  install_log_settings(settings(true, 2, 6, "corvane"));
  open_log_connection();
  test::StderrCapture capture;
  log_message(Severity::err, "lost");
  EXPECT_EQ(capture.text(), "");
  set_syslog_socket_path(nullptr);
}

// The syslog daemon restarts: the next line reaches the new one.
TEST_F(LogTest, SyslogRestartIsFollowed) {
  install_log_settings(settings(true, 2, 6, "corvane"));
  FakeSyslog syslog;
  open_log_connection();
  log_message(Severity::info, "before");
  EXPECT_NE(syslog.receive().find("before"), std::string::npos);
  syslog.restart();
  log_message(Severity::info, "after");
  EXPECT_NE(syslog.receive().find("after"), std::string::npos);
  log_message(Severity::info, "later");
  EXPECT_NE(syslog.receive().find("later"), std::string::npos);
}

TEST_F(LogTest, SyslogOffOpensNoSocket) {
  FakeSyslog syslog;
  install_log_settings(settings(false, 2, 6, "corvane"));
  open_log_connection();
  test::StderrCapture capture;
  log_message(Severity::info, "to stderr");
  EXPECT_TRUE(syslog.nothing_pending());
  EXPECT_EQ(capture.text(), "corvane[" + k_pid + "]: to stderr\n");
}

TEST_F(LogTest, LoggingDoesNotAllocate) {
  FakeSyslog syslog;
  install_log_settings(settings(true, 2, 7, "corvane"));
  open_log_connection();
  const std::string value(2000, 'v');
  const long before = t_allocations;
  log_message(Severity::info, "n=", 12345, " e=", ErrorName{Error::DnsTimeout},
              " v=", SafeField{value});
  log_message(Severity::debug, "plain");
  EXPECT_EQ(t_allocations, before);
  EXPECT_EQ(syslog.receive().size(), 1024u);
}

TEST_F(LogTest, ThreadsLogConcurrentlyOverTheirOwnSockets) {
  FakeSyslog syslog;
  install_log_settings(settings(true, 2, 6, "corvane"));
  constexpr int k_threads = 4;
  constexpr int k_lines = 25;
  // The receiver drains while the senders run: a full syslog queue drops lines
  // by design (a socket holds as few as 10 datagrams), so the senders never
  // let more than a few wait, however slowly the receiver is scheduled.
  std::vector<std::string> received;
  std::atomic<int> sent{0};
  std::atomic<int> taken{0};
  std::thread receiver([&] {
    for (int i = 0; i < k_threads * k_lines; ++i) {
      std::string datagram = syslog.receive();
      if (datagram.empty()) break;
      received.push_back(std::move(datagram));
      ++taken;
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < k_threads; ++t) {
    threads.emplace_back([t, &sent, &taken] {
      open_log_connection();
      for (int i = 0; i < k_lines; ++i) {
        while (sent.load() - taken.load() >= 4)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++sent;
        log_message(Severity::info, "thread ", t, " line ", i);
      }
      close_log_connection();
    });
  }
  for (auto &thread : threads)
    thread.join();
  receiver.join();
  std::set<std::string> seen;
  const std::string prefix = "<22>corvane[" + k_pid + "]: ";
  for (const auto &datagram : received) {
    ASSERT_EQ(datagram.substr(0, prefix.size()), prefix);
    seen.insert(datagram.substr(prefix.size()));
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(k_threads * k_lines));
  EXPECT_EQ(seen.count("thread 3 line 24"), 1u);
}

TEST_F(LogTest, StderrLockIsReentrant) {
  test::StderrCapture capture;
  {
    std::lock_guard outer(stderr_lock());
    write_stderr("a");
    std::lock_guard inner(stderr_lock());
    write_stderr("b\n");
  }
  EXPECT_EQ(capture.text(), "ab\n");
}

} // namespace
} // namespace corvane::log
