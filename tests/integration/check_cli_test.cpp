// corvane-check run as a process, on the paths that end before any DNS
// lookup: usage text, argument errors, Public Suffix List failures.
#include "support/dns_server.hpp"
#include "support/process_runner.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace corvane {
namespace {

const std::string k_tool = CORVANE_BINARY_DIR "/src/check/corvane-check";

const std::string k_usage =
    "Usage: corvane-check [options]\n"
    "\n"
    "Evaluate DMARC for a set of authenticated identifiers and print the\n"
    "outcome as key=value lines on stdout.\n"
    "\n"
    "Options:\n"
    "  --from <domain>         Author Domain (RFC5322.From). Required.\n"
    "  --mailfrom <domain>     RFC5321.MailFrom domain (the SPF identifier)\n"
    "  --spf <result>          SPF result: pass, fail, none, ... (default: none)\n"
    "  --dkim <domain>         DKIM-Authenticated Identifier (the d= value)\n"
    "  --dkim-result <result>  DKIM result: pass, fail, none, ... (default: none)\n"
    "  --psl <file>            Public Suffix List used only to veto a tree-walk result\n"
    "  -n <nameserver>         DNS nameserver (default: 127.0.0.1)\n"
    "  -p <port>               DNS nameserver port (default: 53)\n"
    "  -m <ms>                 Wall-clock budget for the evaluation (default:\n"
    "                          20000, the daemon's MaxEvaluationMs; 0 disables)\n"
    "  -h                      Show this help\n"
    "\n"
    "Output keys:\n"
    "  result           DMARC result: pass, fail, none, temperror, permerror\n"
    "  disposition      Policy to apply: none, quarantine, reject\n"
    "  policy_domain    Name whose DMARC record supplied the policy\n"
    "  from_org         Organizational Domain of the Author Domain\n"
    "  spf_org          Organizational Domain of the SPF identifier, if walked\n"
    "  spf_aligned      yes or no\n"
    "  dkim_org         Organizational Domain of the DKIM identifier, if walked\n"
    "  dkim_aligned     yes or no\n"
    "\n"
    "Exit status is 0 whenever a verdict was reached, including \"fail\" \xE2\x80\x94 the\n"
    "verdict goes to stdout. A non-zero status means the tool could not run.\n";

test::ProcessResult run_tool(std::vector<std::string> args) {
  test::ProcessRun run;
  run.program = k_tool;
  run.args = std::move(args);
  run.time_limit = std::chrono::seconds(20);
  return test::run_process(run);
}

std::string joined(const std::vector<std::string> &args) {
  std::string text;
  for (const auto &arg : args)
    text += "'" + arg + "' ";
  return text;
}

TEST(CheckTool, UsageText) {
  const std::vector<std::vector<std::string>> cases = {
      {"-h"},
      {"--help"},
      {"--from", "example.org", "-h"},
      {"-h", "--bogus"},
      {"-p", "53", "--help", "-p", "99999"},
      {"-n", "localhost", "-h"}, // the address is checked only after all arguments
  };
  for (const auto &args : cases) {
    const auto result = run_tool(args);
    EXPECT_EQ(result.exit_status, 0) << joined(args);
    EXPECT_EQ(result.out, k_usage) << joined(args);
    EXPECT_EQ(result.err, "") << joined(args);
  }
}

TEST(CheckTool, ArgumentErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::string psl_missing = "/nonexistent/corvane-psl.dat";
  const Case cases[] = {
      {{}, "--from is required (see -h)"},
      {{"--from"}, "--from needs a value"},
      {{"--from", ""}, "--from needs a value"},
      {{"--bogus", "-h"}, "unknown argument"},
      {{"--from", "example.org", "extra"}, "unknown argument"},
      {{"--from", "x", "--mailfrom"}, "--mailfrom needs a value"},
      {{"--from", "x", "--spf"}, "--spf needs a value"},
      {{"--from", "x", "--dkim"}, "--dkim needs a value"},
      {{"--from", "x", "--dkim-result"}, "--dkim-result needs a value"},
      {{"--from", "x", "--psl"}, "--psl needs a value"},
      {{"--from", "x", "-n"}, "-n needs a value"},
      {{"--from", "x", "-p"}, "-p needs a value"},
      {{"--from", "x", "-m"}, "-m needs a value"},
      {{"--from", "x", "-p", "65536"}, "invalid port"},
      {{"--from", "x", "-p", "-1"}, "invalid port"},
      {{"--from", "x", "-p", "5__3"}, "invalid port"},
      {{"--from", "x", "-m", "-5"}, "-m must be 0 (disabled) or a positive number of milliseconds"},
      {{"--from", "x", "-m", "5s"}, "-m must be a number of milliseconds"},
      {{"--from", "x", "-n", "localhost"}, "DNS resolver: invalid nameserver address"},
      {{"--from", "x", "-n", "1.2.3.04"}, "DNS resolver: invalid nameserver address"},
      {{"--from", "x", "-n", "::1::2"}, "DNS resolver: invalid nameserver address"},
      {{"--from", "x", "--psl", psl_missing}, "could not load the public suffix list"},
      // Accepted values, shown by reaching the next check, which needs no DNS.
      {{"-p", "-0", "-m", "0", "-n", "::ffff:127.0.0.1", "--from", "x", "--psl", psl_missing},
       "could not load the public suffix list"},
      {{"-p", "5_3", "-m", "+20_000", "--from", "x", "--psl", psl_missing},
       "could not load the public suffix list"},
      {{"--psl", psl_missing, "-n", "example"}, "--from is required (see -h)"},
  };
  for (const auto &c : cases) {
    const auto result = run_tool(c.args);
    EXPECT_EQ(result.exit_status, 2) << joined(c.args);
    EXPECT_EQ(result.out, "") << joined(c.args);
    EXPECT_EQ(result.err, "corvane-check: " + c.message + "\n") << joined(c.args);
  }
}

class PslFiles : public ::testing::Test {
protected:
  std::string write(const std::string &relative, const std::string &content) {
    return dir_.write(relative, content);
  }

  const test::TempDir dir_;
  const std::string root_ = dir_.path();
};

TEST_F(PslFiles, LoadFailures) {
  const auto too_big = write("big.dat", std::string(4 * 1024 * 1024 + 1, '\n'));
  const auto directory = root_;
  // A FIFO nobody writes to would hold a reader forever.
  const auto fifo = root_ + "/fifo.dat";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const auto &path : {too_big, directory, root_ + "/missing.dat", fifo}) {
    const auto result = run_tool({"--from", "example.org", "--psl", path});
    EXPECT_FALSE(result.timed_out) << path;
    EXPECT_EQ(result.exit_status, 2) << path;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "corvane-check: could not load the public suffix list\n") << path;
  }
}

TEST_F(PslFiles, PathOfMoreThan1023BytesIsRefused) {
  // A list whose path is exactly 1023 bytes loads; the same file named with
  // one byte more ("//") is refused.
  std::string relative;
  const std::size_t base = root_.size() + 1;
  while (base + relative.size() + 201 < 1023 - 10)
    relative += std::string(200, 'd') + "/";
  relative += std::string(1023 - base - relative.size(), 'f');
  const auto path = write(relative, "com\n*.ck\n");
  ASSERT_EQ(path.size(), 1023u);
  const auto longer = root_ + "/" + path.substr(root_.size());
  ASSERT_EQ(longer.size(), 1024u);
  ASSERT_TRUE(std::filesystem::exists(longer));

  test::DnsServer server; // every name NXDOMAIN: the run ends quickly
  const std::vector<std::string> options = {
      "--from", "x", "-n", "127.0.0.1", "-p", std::to_string(server.port()), "--psl"};
  auto loads = options;
  loads.push_back(path);
  const auto loaded = run_tool(loads);
  EXPECT_EQ(loaded.exit_status, 0);
  EXPECT_EQ(loaded.err, "");
  EXPECT_EQ(std::count(loaded.out.begin(), loaded.out.end(), '\n'), 8) << loaded.out;
  EXPECT_EQ(loaded.out.rfind("result=", 0), 0u) << loaded.out;

  auto refused = options;
  refused.push_back(longer);
  const auto result = run_tool(refused);
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "corvane-check: could not load the public suffix list\n");
}

} // namespace
} // namespace corvane
