#include "config/config_file.hpp"
#include "config/load_config.hpp"
#include "config_text.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace corvane::config {
namespace {

using test::log_prefix;

// A private directory for the test's files, removed with everything in it.
class ConfigFiles : public ::testing::Test {
protected:
  void SetUp() override { log::install_log_settings(log::initial_log_settings()); }

  std::string write(const std::string &name, const std::string &text) {
    return temp_.write(name, text);
  }

  const corvane::test::TempDir temp_;
  const std::string dir_ = temp_.path();
};

TEST_F(ConfigFiles, SizeLimitIsInclusive) {
  const std::string exact(k_max_config_bytes, '#');
  const auto read = read_config_file(write("exact.conf", exact));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->size(), k_max_config_bytes);
  EXPECT_EQ(*read, exact);

  const auto over = read_config_file(write("over.conf", exact + "#"));
  ASSERT_FALSE(over.has_value());
  EXPECT_EQ(over.error(), Error::FileTooBig);
}

// A configuration handed over through a FIFO is read once its writer comes,
// not taken as an empty file because nobody was writing yet. (The writer
// opens read-write, so that it never waits for a reader that gave up.)
TEST_F(ConfigFiles, FifoIsReadOnceItsWriterComes) {
  const std::string fifo = dir_ + "/piped.conf";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string text = "AuthservID = mx.example.org\n";
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int fd = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
  });
  const auto read = read_config_file(fifo);
  writer.join();
  ASSERT_TRUE(read.has_value()) << error_name(read.error());
  EXPECT_EQ(*read, text);
}

TEST_F(ConfigFiles, OpenAndPathErrors) {
  std::string long_name = "x";
  while (long_name.size() < k_max_config_path - 1)
    long_name += "/x";
  const struct {
    std::string path;
    Error expected;
  } cases[] = {
      {dir_ + "/missing.conf", Error::FileNotFound},
      {dir_, Error::IsDir},
      {std::string(k_max_config_path, 'a'), Error::NameTooLong},
      {std::string("a\0b", 3), Error::InvalidPath},
      {"", Error::FileNotFound},
      {"/dev/zero", Error::FileTooBig}, // endless input stops one byte past the limit
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.path.size());
    const auto read = read_config_file(c.path);
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(error_name(read.error()), error_name(c.expected));
  }
  // One byte shorter than the limit reaches the system, which finds no file.
  ASSERT_EQ(long_name.size(), k_max_config_path - 1);
  const auto below = read_config_file(long_name);
  ASSERT_FALSE(below.has_value());
  EXPECT_EQ(below.error(), Error::FileNotFound);
}

TEST_F(ConfigFiles, UnreadableFileIsAccessDenied) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads any file";
  const std::string path = write("secret.conf", "A = 1\n");
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  const auto read = read_config_file(path);
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error(), Error::AccessDenied);
}

TEST_F(ConfigFiles, LoadConfigNamesThePathAsGiven) {
  const std::string path = dir_ + "/./missing.conf";
  corvane::test::StderrCapture capture;
  const auto config = load_config(path);
  ASSERT_FALSE(config.has_value());
  EXPECT_EQ(config.error(), Error::FileNotFound);
  EXPECT_EQ(capture.text(),
            log_prefix() + "failed to load config " + path + ": error.FileNotFound\n");
}

TEST_F(ConfigFiles, LoadConfigOfTooBigFile) {
  const std::string path = write("big.conf", std::string(k_max_config_bytes + 1, '\n'));
  corvane::test::StderrCapture capture;
  const auto config = load_config(path);
  ASSERT_FALSE(config.has_value());
  EXPECT_EQ(capture.text(),
            log_prefix() + "failed to load config " + path + ": error.FileTooBig\n");
}

TEST_F(ConfigFiles, LoadConfigBuildsTheFile) {
  const std::string path = write("corvane.conf", "AuthservID = mx.example\r\n"
                                                 "[listener:mta]\r\n"
                                                 "Socket = inet:8894@127.0.0.1\r\n"
                                                 "Enforcement = reject\r\n");
  corvane::test::StderrCapture capture;
  const auto config = load_config(path);
  ASSERT_TRUE(config.has_value());
  EXPECT_EQ(config->authserv_id, "mx.example");
  ASSERT_EQ(config->listeners.size(), 1u);
  EXPECT_EQ(config->listeners[0].enforcement, Enforcement::reject);
  EXPECT_EQ(capture.text(), "");
}

TEST_F(ConfigFiles, LoadConfigReportsRefusals) {
  const std::string path = write("typo.conf", "AuthServID = mx\n");
  corvane::test::StderrCapture capture;
  const auto config = load_config(path);
  ASSERT_FALSE(config.has_value());
  EXPECT_EQ(config.error(), Error::InvalidConfiguration);
  const std::string line =
      "config: [global] unrecognized key \"AuthServID\" (typo?); refusing to start\n";
  EXPECT_EQ(capture.text(), log_prefix() + line + line + log_prefix() +
                                "config parse error: error.InvalidConfiguration\n");
}

// The example file shipped with the daemon loads and holds the defaults.
TEST_F(ConfigFiles, ExampleConfigurationLoads) {
  corvane::test::StderrCapture capture;
  const auto config = load_config(CORVANE_SOURCE_DIR "/etc/corvane.conf.example");
  ASSERT_TRUE(config.has_value()) << capture.text();
  EXPECT_EQ(capture.text(), "");
  EXPECT_EQ(config->listeners, std::vector<ListenerConfig>{default_listener()});
}

} // namespace
} // namespace corvane::config
