#include "daemon/process_setup.hpp"

#include "log/log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>

namespace corvane::daemon {

using log::ErrorName;
using log::log_message;
using log::Severity;

namespace {

constexpr mode_t k_runtime_dir_mode = 0755;

// Handing one of these to an unprivileged user would let it replace other
// software's files.
constexpr std::array<const char *, 6> k_shared_directories{"/",    "/var", "/var/run",
                                                           "/run", "/tmp", "/var/tmp"};

// Everything before the last "/" once trailing "/" are ignored; "/" when
// that is the only one; none without a "/".
std::optional<std::string_view> directory_of(std::string_view path) noexcept {
  while (path.size() > 1 && path.back() == '/')
    path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  return slash == 0 ? std::string_view("/") : path.substr(0, slash);
}

void warn(std::string_view action, std::string_view directory, Error error) {
  log_message(Severity::warning, action, " ", directory, ": ", ErrorName{error});
}

// Never through a symbolic link: root hands what it opens to the daemon's
// user, who may own the directory above and could point a link at /etc.
int open_directory(const std::string &directory) noexcept {
  return ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
}

// Compared as directories, not as names: "/var/.", "/var//run" or "." run
// from "/" are the same directories as their plain names.
bool is_shared_directory(int fd) noexcept {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return true; // unknown: better left alone
  if ((status.st_mode & S_ISVTX) != 0) return true;
  for (const char *shared : k_shared_directories) {
    struct stat other {};
    if (::stat(shared, &other) == 0 && other.st_dev == status.st_dev &&
        other.st_ino == status.st_ino)
      return true;
  }
  return false;
}

// The mask would narrow the mode of a directory made with mkdir alone.
void set_exact_mode(const std::string &directory) {
  const int fd = open_directory(directory);
  if (fd < 0) return warn("open", directory, error_from_errno(errno));
  if (::fchmod(fd, k_runtime_dir_mode) != 0) warn("chmod", directory, error_from_errno(errno));
  ::close(fd);
}

void give_to(const std::string &directory, const ResolvedUser &owner) {
  const int fd = open_directory(directory);
  if (fd < 0) return warn("open", directory, error_from_errno(errno));
  if (is_shared_directory(fd)) {
    log_message(Severity::warning, "not changing owner of shared directory ", directory,
                "; put PidFile and unix sockets in a directory of their own");
  } else if (::fchown(fd, owner.uid, owner.gid) != 0) {
    warn("chown", directory, error_from_errno(errno));
  }
  ::close(fd);
}

} // namespace

void prepare_runtime_dir(std::string_view file_path, std::optional<ResolvedUser> owner) {
  const auto directory_view = directory_of(file_path);
  if (!directory_view) return;
  const std::string directory(*directory_view);
  // A NUL would cut the name short and prepare another directory.
  if (directory.find('\0') != std::string::npos)
    return warn("mkdir", directory, Error::InvalidPath);
  if (directory.size() >= k_max_path) {
    warn("mkdir", directory, Error::NameTooLong);
  } else if (::mkdir(directory.c_str(), k_runtime_dir_mode) == 0) {
    set_exact_mode(directory);
  } else if (errno != EEXIST) {
    warn("mkdir", directory, error_from_errno(errno));
  }
  if (owner) give_to(directory, *owner);
}

} // namespace corvane::daemon
