// The corvane binary as an operator runs it: command line, configuration
// refusals, start-up, signals, PID file, privileges and daemon mode.
#include "core/unique_fd.hpp"
#include "support/daemon_process.hpp"
#include "support/dns_test_socket.hpp"
#include "support/listener_config.hpp"
#include "support/milter_client.hpp"
#include "support/process_runner.hpp"
#include "support/wait_until.hpp"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace corvane::test {
namespace {

using namespace std::chrono_literals;

const std::string k_corvane = CORVANE_BINARY_DIR "/src/daemon/corvane";

struct Instance {
  explicit Instance(const std::string &global = "", bool foreground = true)
      : port(free_loopback_port()) {
    ::chmod(dir.path().c_str(), 0755); // an unprivileged daemon reaches its run directory
    config = dir.write(
        "corvane.conf",
        "[global]\nSyslog = no\nForeground = " + std::string(foreground ? "yes" : "no") +
            "\nPidFile = " + pid_file() + "\nWorkerThreads = 1\nDnsNameserver = 127.0.0.1\n" +
            "MaxEvaluationMs = 2000\n" + global +
            "[listener:mta]\nSocket = inet:" + std::to_string(port) + "@127.0.0.1\n");
  }
  std::string pid_file() const { return dir.file("run/corvane.pid"); }
  bool pid_file_exists() const { return std::filesystem::exists(pid_file()); }
  std::unique_ptr<DaemonProcess> start(std::vector<std::string> extra = {}) const {
    std::vector<std::string> args{"-c", config};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<DaemonProcess>(k_corvane, args, dir.path());
  }

  TempDir dir;
  std::uint16_t port;
  std::string config;
};

// A listening socket without SO_REUSEPORT on the port: the daemon cannot
// bind it.
UniqueFd block_port(std::uint16_t port) {
  UniqueFd blocker(bound_test_socket(test_address("127.0.0.1", port), SOCK_STREAM));
  EXPECT_TRUE(blocker) << "port " << port;
  return blocker;
}

ProcessResult run_corvane(const std::vector<std::string> &args, const std::string &directory) {
  ProcessRun run;
  run.program = "/bin/sh";
  run.args = {"-c", "cd \"$0\" && exec \"$@\"", directory, k_corvane};
  run.args.insert(run.args.end(), args.begin(), args.end());
  run.time_limit = 20s;
  return run_process(run);
}

std::string fatal(const std::string &ident, const std::string &error) {
  return ident + "[PID]: fatal: exiting on " + error + "\nerror: " + error + "\n";
}

TEST(DaemonTest, CommandLineAndConfigurationRefusals) {
  const std::string usage =
      "pellwyn[PID]: usage: corvane -c <config-file>\n" + fatal("pellwyn", "InvalidArgument");
  const std::string unknown_key = "config: [global] unrecognized key \"Bogus\" (typo?); refusing "
                                  "to start";
  const std::string enforcement = "config: [listener:x] Enforcement \"Reject\" is not "
                                  "none|quarantine|reject; refusing to start";
  struct Case {
    const char *name;
    std::vector<std::string> args; // "CONF" stands for the case's file
    std::string config;
    std::string expected_stderr;
  };
  const std::vector<Case> cases{
      {"no arguments", {}, "", usage},
      {"not -c", {"-x", "CONF"}, "", usage},
      {"-c alone", {"-c"}, "", usage},
      {"missing file",
       {"-c", "missing.conf"},
       "",
       "pellwyn[PID]: failed to load config missing.conf: error.FileNotFound\n" +
           fatal("pellwyn", "FileNotFound")},
      {"unrecognized key",
       {"-c", "CONF"},
       "Bogus = 1\n",
       "pellwyn[PID]: " + unknown_key + "\n" + unknown_key +
           "\npellwyn[PID]: config parse error: error.InvalidConfiguration\n" +
           fatal("pellwyn", "InvalidConfiguration")},
      {"bad enforcement",
       {"-c", "CONF"},
       "[listener:x]\nSocket = inet:1@127.0.0.1\nEnforcement = Reject\n",
       "pellwyn[PID]: " + enforcement + "\n" + enforcement +
           "\npellwyn[PID]: config parse error: error.InvalidEnforcement\n" +
           fatal("pellwyn", "InvalidEnforcement")},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string conf = dir.write("c.conf", c.config);
    std::vector<std::string> args = c.args;
    for (auto &arg : args)
      if (arg == "CONF") arg = conf;
    const ProcessResult result = run_corvane(args, dir.path());
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(without_pids(result.err), c.expected_stderr);
    EXPECT_EQ(result.out, "");
  }
}

TEST(DaemonTest, StartupFailuresAfterTheConfiguration) {
  struct Case {
    const char *name;
    std::string global;
    bool occupy_port;
    std::vector<std::string> expected_lines;
  };
  const std::vector<Case> cases{
      {"privilege drop to root",
       "User = root\n",
       false,
       {"corvane[PID]: privilege drop to 'root' failed: error.RefusingToDropToRoot\n",
        fatal("corvane", "RefusingToDropToRoot")}},
      {"unknown user",
       "User = no-such-user-here\n",
       false,
       {"corvane[PID]: resolving 'no-such-user-here' for runtime directories failed: "
        "error.UserNotFound\n",
        "corvane[PID]: privilege drop to 'no-such-user-here' failed: error.UserNotFound\n"}},
      {"listener port taken", "", true, {fatal("corvane", "AddressInUse")}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Instance setup(c.global);
    UniqueFd blocker;
    if (c.occupy_port) blocker = block_port(setup.port);
    const ProcessResult result = run_corvane({"-c", setup.config}, setup.dir.path());
    blocker.reset();
    EXPECT_EQ(result.exit_status, 1);
    const std::string err = without_pids(result.err);
    for (const auto &line : c.expected_lines)
      EXPECT_NE(err.find(line), std::string::npos) << line << "\n---\n" << err;
    // A start-up that fails leaves no PID file behind.
    EXPECT_FALSE(setup.pid_file_exists());
  }
}

TEST(DaemonTest, ReloadsThenDrainsAMessageInProgressOnSigterm) {
  Instance setup("LogLevel = debug\n");
  auto daemon = setup.start({"ignored", "arguments"});
  ASSERT_TRUE(daemon->wait_for("Corvane starting, AuthservID=localhost, listeners=1\n"))
      << daemon->err();
  EXPECT_EQ(read_file(setup.pid_file()), std::to_string(daemon->pid()) + "\n");
  for (int generation = 1; generation <= 3; ++generation) {
    daemon->signal(SIGHUP);
    ASSERT_TRUE(daemon->wait_for("SIGHUP: config generation advanced to " +
                                 std::to_string(generation) + "\n"))
        << daemon->err();
  }
  EXPECT_TRUE(daemon->wait_for("worker: config reload acknowledged"));
  // The two lines of one SIGHUP, in order (a worker's acknowledgement may
  // come between them).
  const std::string reloads = without_pids(daemon->err());
  const auto received = reloads.find("corvane[PID]: SIGHUP received, reloading configuration...\n");
  const auto advanced = reloads.find("corvane[PID]: SIGHUP: config generation advanced to 1\n");
  ASSERT_NE(received, std::string::npos) << reloads;
  ASSERT_NE(advanced, std::string::npos) << reloads;
  EXPECT_LT(received, advanced);

  auto client = MilterClient::open_tcp("127.0.0.1", setup.port);
  client.negotiate();
  ASSERT_EQ(client.header("From", "alice@example.org").size(), 1u);
  daemon->signal(SIGTERM);
  ASSERT_TRUE(daemon->wait_for("shutdown signal 15 received, draining connections...\n"));
  // The message in progress still gets its verdict and reply.
  const Replies replies = client.end_of_message();
  ASSERT_FALSE(replies.empty());
  EXPECT_EQ(replies.front().code, 'i');
  EXPECT_EQ(replies.back().code, 'c');
  client.quit();
  EXPECT_EQ(daemon->wait_exit(), 0) << daemon->err();
  EXPECT_FALSE(setup.pid_file_exists());
}

TEST(DaemonTest, SecondInstanceRefusedStalePidFilesIgnored) {
  Instance setup;
  auto first = setup.start();
  ASSERT_TRUE(first->wait_for("Corvane starting"));
  auto second = run_corvane({"-c", setup.config}, setup.dir.path());
  EXPECT_EQ(second.exit_status, 1);
  EXPECT_NE(second.err.find("pid file " + setup.pid_file() + " is held by live process " +
                            std::to_string(first->pid()) +
                            "; refusing to start a second instance\n"),
            std::string::npos)
      << second.err;
  EXPECT_NE(second.err.find("error: AlreadyRunning\n"), std::string::npos);
  first->signal(SIGTERM);
  ASSERT_EQ(first->wait_exit(), 0);

  // The parent's process id (this test), 0, a negative number, text, nothing.
  for (const std::string &stale : {std::to_string(::getpid()) + "\n", std::string("0"),
                                   std::string("-5"), std::string("corvane"), std::string("")}) {
    SCOPED_TRACE(stale);
    std::filesystem::create_directories(setup.dir.file("run"));
    std::ofstream(setup.pid_file()) << stale;
    auto daemon = setup.start();
    EXPECT_TRUE(daemon->wait_for("Corvane starting")) << daemon->err();
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait_exit(), 0);
  }
  // Its own process id: a shell writes its pid, then becomes the daemon.
  std::ofstream(setup.pid_file()) << "";
  DaemonProcess own(
      "/bin/sh",
      {"-c", "echo $$ > " + setup.pid_file() + "; exec " + k_corvane + " -c " + setup.config},
      setup.dir.path());
  EXPECT_TRUE(own.wait_for("Corvane starting")) << own.err();
  own.signal(SIGTERM);
  EXPECT_EQ(own.wait_exit(), 0);
}

// The health monitor cannot watch these lists; the daemon goes on without it.
TEST(DaemonTest, NameserverListsTheMonitorRefuses) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"127.0.0.1,127.0.0.2,127.0.0.3,127.0.0.4,127.0.0.5,127.0.0.6,127.0.0.7,127.0.0.8,"
       "127.0.0.9",
       "DNS health monitor init failed: error.InvalidServerCount, falling back to reactive\n"},
      {"ns.example.org",
       "DNS health monitor init failed: error.InvalidNameserver, falling back to reactive\n"},
  };
  for (const auto &[servers, line] : cases) {
    SCOPED_TRACE(servers);
    Instance setup("DnsNameserver = " + servers + "\n");
    auto daemon = setup.start();
    EXPECT_TRUE(daemon->wait_for("Corvane starting")) << daemon->err();
    EXPECT_NE(daemon->err().find(line), std::string::npos) << daemon->err();
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait_exit(), 0);
  }
}

TEST(DaemonTest, WorkerThreadsZeroStartsOnePerCpu) {
  Instance setup("WorkerThreads = 0\n");
  auto daemon = setup.start();
  const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  // W x (MaxConnections + listeners + 3) + 64
  const std::string requested = "(requested " + std::to_string(cpus * (256 + 1 + 3) + 64) + ",";
  EXPECT_TRUE(daemon->wait_for(requested)) << daemon->err();
  daemon->signal(SIGINT);
  EXPECT_TRUE(daemon->wait_for("shutdown signal 2 received"));
  EXPECT_EQ(daemon->wait_exit(), 0);
}

std::vector<std::string> thread_credentials(pid_t pid) {
  std::vector<std::string> lines;
  for (const auto &task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    const std::string status = read_file(task.path().string() + "/status");
    std::smatch uid, gid;
    std::regex_search(status, uid, std::regex("Uid:[^\n]*"));
    std::regex_search(status, gid, std::regex("Gid:[^\n]*"));
    lines.push_back(uid.str() + " " + gid.str());
  }
  return lines;
}

TEST(DaemonTest, RunsAsTheConfiguredUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  Instance setup("User = nobody\n");
  auto daemon = setup.start();
  ASSERT_TRUE(daemon->wait_for("Corvane starting")) << daemon->err();
  ASSERT_TRUE(wait_until_answering([&setup] {
    return MilterClient::open_tcp("127.0.0.1", setup.port);
  })) << daemon->err();
  auto client = MilterClient::open_tcp("127.0.0.1", setup.port);
  client.negotiate(); // the workers run
  const auto credentials = thread_credentials(daemon->pid());
  EXPECT_GE(credentials.size(), 2u);
  for (const auto &line : credentials)
    EXPECT_EQ(line, "Uid:\t65534\t65534\t65534\t65534 Gid:\t65534\t65534\t65534\t65534");
  // The run directory went to the user, so the PID file goes at the end.
  struct stat status {};
  ASSERT_EQ(::stat(setup.dir.file("run").c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, 65534u);
  client.quit();
  daemon->signal(SIGTERM);
  EXPECT_EQ(daemon->wait_exit(), 0);
  EXPECT_FALSE(setup.pid_file_exists());
}

// A detached daemon is not this test's child: whatever happens, the one the
// PID file names is stopped at the end.
struct DetachedDaemonGuard {
  const Instance &setup;
  ~DetachedDaemonGuard() {
    const std::string text = read_file(setup.pid_file());
    if (!text.empty() && std::stoi(text) > 1) ::kill(std::stoi(text), SIGKILL);
  }
};

TEST(DaemonTest, DaemonModeReportsReadiness) {
  Instance setup("", false);
  const DetachedDaemonGuard guard{setup};
  const auto started = std::chrono::steady_clock::now();
  const ProcessResult result = run_corvane({"-c", setup.config}, setup.dir.path());
  EXPECT_EQ(result.exit_status, 0) << result.err;
  const pid_t daemon = std::stoi(read_file(setup.pid_file()));
  for (int fd = 0; fd <= 2; ++fd)
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(daemon) + "/fd/" +
                                            std::to_string(fd)),
              "/dev/null");
  auto client = MilterClient::open_tcp("127.0.0.1", setup.port);
  EXPECT_EQ(client.negotiate().version, 6u);
  client.quit();
  ::kill(daemon, SIGTERM);
  EXPECT_TRUE(wait_until([daemon] { return ::kill(daemon, 0) != 0; }, 5s)) << "still running";
  EXPECT_FALSE(setup.pid_file_exists());

  // A daemon that dies during start-up (its port is taken) ends the wait at
  // once with status 1.
  UniqueFd blocker = block_port(setup.port);
  const auto failing = std::chrono::steady_clock::now();
  const ProcessResult failed = run_corvane({"-c", setup.config}, setup.dir.path());
  blocker.reset();
  EXPECT_EQ(failed.exit_status, 1);
  EXPECT_LT(std::chrono::steady_clock::now() - failing, 10s);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
}

} // namespace
} // namespace corvane::test
