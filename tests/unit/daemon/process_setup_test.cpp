// The error paths of the daemon's process set-up that a test can provoke.
#include "daemon/process_setup.hpp"
#include "log/log.hpp"
#include "support/daemon_process.hpp"
#include "support/stderr_capture.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace corvane::daemon {
namespace {

using test::TempDir;

const std::string k_long_path = "/tmp/" + std::string(1019, 'p'); // 1024 bytes

TEST(ProcessSetupTest, PidFileChecksTreatWhatCannotBeReadAsStale) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("a-directory"));
  struct Case {
    const char *name;
    std::string path;
    bool refused;
  };
  // Process 1 always lives and is neither this process nor its parent.
  const std::vector<Case> cases{
      {"missing", dir.file("missing.pid"), false},
      {"a directory", dir.file("a-directory"), false},
      {"a 1024-byte path", k_long_path, false},
      {"spaces and CR LF around a live pid", dir.write("spaced.pid", " \t1\r\n"), true},
      {"underscores between digits", dir.write("under.pid", "0_1"), true},
      {"text after 32 bytes is not read", dir.write("long.pid", std::string(31, ' ') + "1x"), true},
      {"a pid with no process", dir.write("dead.pid", "2147483646"), false},
      {"this process", dir.write("self.pid", std::to_string(::getpid())), false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    test::StderrCapture capture;
    const auto checked = check_pid_file(c.path);
    EXPECT_EQ(!checked, c.refused);
    if (c.refused) {
      EXPECT_EQ(checked.error(), Error::AlreadyRunning);
      EXPECT_NE(capture.text().find("pid file " + c.path +
                                    " is held by live process 1; refusing to start a second "
                                    "instance"),
                std::string::npos)
          << capture.text();
    }
  }
}

TEST(ProcessSetupTest, PidFileWriting) {
  TempDir dir;
  const std::string path = dir.file("corvane.pid");
  ASSERT_TRUE(write_pid_file(path));
  EXPECT_EQ(test::read_file(path), std::to_string(::getpid()) + "\n");
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(
      status.st_mode & 0777, 0644 & ~[] {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return mask;
      }());

  // Never through a symbolic or hard link another user could have planted:
  // the name is replaced by a new file, the target stays as it was.
  const std::string target = dir.write("target", "keep");
  std::filesystem::create_symlink(target, dir.file("link.pid"));
  std::filesystem::create_hard_link(target, dir.file("hard.pid"));
  for (const std::string name : {"link.pid", "hard.pid"}) {
    ASSERT_TRUE(write_pid_file(dir.file(name)));
    EXPECT_FALSE(std::filesystem::is_symlink(dir.file(name)));
    EXPECT_EQ(test::read_file(dir.file(name)), std::to_string(::getpid()) + "\n");
  }
  EXPECT_EQ(test::read_file(target), "keep");

  const auto too_long = write_pid_file(k_long_path);
  ASSERT_FALSE(too_long);
  EXPECT_EQ(too_long.error(), Error::NameTooLong);
  const auto no_directory = write_pid_file(dir.file("none/corvane.pid"));
  ASSERT_FALSE(no_directory);
  EXPECT_EQ(no_directory.error(), Error::FileNotFound);

  remove_pid_file(path);
  EXPECT_FALSE(std::filesystem::exists(path));
  remove_pid_file(path); // already gone: nothing happens
}

TEST(ProcessSetupTest, RuntimeDirectories) {
  TempDir dir;
  const std::string blocked = dir.write("a-file", "");
  std::filesystem::create_directory(dir.file("elsewhere"));
  std::filesystem::create_directory_symlink(dir.file("elsewhere"), dir.file("linked"));
  const mode_t saved = ::umask(077);
  struct Case {
    const char *name;
    std::string file_path;
    std::optional<ResolvedUser> owner;
    std::string expected_line; // "" when none
  };
  const std::vector<Case> cases{
      {"created with exactly 0755 whatever the mask", dir.file("run/corvane.pid"), std::nullopt,
       ""},
      {"a directory that cannot be created", blocked + "/sub/corvane.pid", std::nullopt,
       "mkdir " + blocked + "/sub: error.NotDir"},
      // The line is cut at the logger's 1024 bytes before the error's name.
      {"a 1024-byte directory name", k_long_path + "/x", std::nullopt,
       "mkdir " + k_long_path.substr(0, 200)},
      {"a bare file name prepares nothing", "corvane.pid", ResolvedUser{1, 1}, ""},
      {"an existing directory gets the owner", dir.file("run/corvane.sock"),
       ResolvedUser{65534, 65534}, ""},
      {"never through a symbolic link", dir.file("linked/corvane.pid"), ResolvedUser{65534, 65534},
       "open " + dir.file("linked") + ": error."},
      {"a shared directory keeps its owner", "/tmp/corvane.pid", ResolvedUser{65534, 65534},
       "not changing owner of shared directory /tmp; put PidFile and unix sockets in a directory "
       "of their own"},
      {"another spelling of a shared directory is the same directory", "/var/./corvane.pid",
       ResolvedUser{65534, 65534}, "not changing owner of shared directory /var/."},
      {"a NUL byte does not cut the directory's name short",
       std::string("/var\0/x/corvane.pid", 19), ResolvedUser{65534, 65534}, "error.InvalidPath"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    test::StderrCapture capture;
    prepare_runtime_dir(c.file_path, c.owner);
    if (c.expected_line.empty())
      EXPECT_EQ(capture.text(), "");
    else
      EXPECT_NE(capture.text().find(c.expected_line), std::string::npos) << capture.text();
  }
  ::umask(saved);
  struct stat status {};
  ASSERT_EQ(::stat(dir.file("run").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0755u);
  if (::geteuid() == 0) {
    EXPECT_EQ(status.st_uid, 65534u);
  }
  for (const char *shared : {"/tmp", "/var"}) {
    ASSERT_EQ(::stat(shared, &status), 0);
    EXPECT_EQ(status.st_uid, 0u) << shared;
  }
  ASSERT_EQ(::stat(dir.file("elsewhere").c_str(), &status), 0);
  EXPECT_EQ(status.st_uid, ::geteuid());
}

TEST(ProcessSetupTest, DescriptorLimitFollowsTheRequestUpToTheHardLimit) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to raise the hard limit again";
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct Case {
    rlim_t hard;
    std::uint64_t requested;
    std::string line;
  };
  const std::vector<Case> cases{
      {4096, 1104, "file descriptor limit set to 1104 (requested 1104, hard max 4096)"},
      {500, 1104, "file descriptor limit set to 500 (requested 1104, hard max 500)"},
      {RLIM_INFINITY, 70,
       "file descriptor limit set to 70 (requested 70, hard max 9223372036854775807)"},
  };
  for (const auto &c : cases) {
    rlimit limit{std::min<rlim_t>(c.hard, 400), c.hard};
    if (c.hard == RLIM_INFINITY && ::setrlimit(RLIMIT_NOFILE, &limit) != 0) continue;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    test::StderrCapture capture;
    set_fd_limit(c.requested);
    EXPECT_NE(capture.text().find(c.line), std::string::npos) << capture.text();
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    EXPECT_EQ(limit.rlim_cur, std::min<rlim_t>(c.hard, c.requested));
  }
  ::setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(ProcessSetupTest, UserSpecifications) {
  struct Case {
    std::string value;
    std::optional<Error> error;
    std::uint32_t uid = 0, gid = 0;
  };
  const std::vector<Case> cases{
      {"nobody", std::nullopt, 65534, 65534},
      {"nobody:root", std::nullopt, 65534, 0},
      {"root", std::nullopt, 0, 0},
      {"", Error::InvalidUserSpec},
      {":nogroup", Error::InvalidUserSpec},
      {"nobody:", Error::InvalidUserSpec},
      {std::string(256, 'u'), Error::UsernameTooLong},
      {"nobody:" + std::string(256, 'g'), Error::GroupNameTooLong},
      {"no-such-user-here", Error::UserNotFound},
      {"nobody:no-such-group-here", Error::GroupNotFound},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.value);
    const auto resolved = resolve_user_spec(c.value);
    if (c.error) {
      ASSERT_FALSE(resolved);
      EXPECT_EQ(resolved.error(), *c.error);
    } else {
      ASSERT_TRUE(resolved);
      EXPECT_EQ(resolved->uid, c.uid);
      EXPECT_EQ(resolved->gid, c.gid);
    }
  }
  // Refused before any credential changes.
  const auto to_root = drop_privileges("root");
  ASSERT_FALSE(to_root);
  EXPECT_EQ(to_root.error(), Error::RefusingToDropToRoot);
  EXPECT_EQ(::getuid(), ::geteuid());
}

} // namespace
} // namespace corvane::daemon
