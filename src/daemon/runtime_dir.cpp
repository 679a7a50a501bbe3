#include "daemon/process_setup.hpp"

#include "core/terminated_path.hpp"
#include "core/unique_fd.hpp"
#include "log/log.hpp"
#include "platform/no_follow_error.hpp"

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
UniqueFd open_directory(const char *directory) noexcept {
  return UniqueFd(::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
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
void set_exact_mode(const char *directory) {
  const UniqueFd fd = open_directory(directory);
  if (!fd) return warn("open", directory, platform::no_follow_open_error(errno));
  if (::fchmod(fd.get(), k_runtime_dir_mode) != 0)
    warn("chmod", directory, error_from_errno(errno));
}

void give_to(const char *directory, const ResolvedUser &owner) {
  const UniqueFd fd = open_directory(directory);
  if (!fd) return warn("open", directory, platform::no_follow_open_error(errno));
  if (is_shared_directory(fd.get())) {
    log_message(Severity::warning, "not changing owner of shared directory ", directory,
                "; put PidFile and unix sockets in a directory of their own");
  } else if (::fchown(fd.get(), owner.uid, owner.gid) != 0) {
    warn("chown", directory, error_from_errno(errno));
  }
}

} // namespace

void prepare_runtime_dir(std::string_view file_path, std::optional<ResolvedUser> owner) {
  const auto directory = directory_of(file_path);
  if (!directory) return;
  // Nothing is prepared under a name the system would read otherwise (a NUL
  // would cut it short).
  const auto terminated = terminated_path(*directory);
  if (!terminated) return warn("mkdir", *directory, terminated.error());
  const char *name = terminated->c_str();
  if (::mkdir(name, k_runtime_dir_mode) == 0)
    set_exact_mode(name);
  else if (errno != EEXIST)
    warn("mkdir", name, error_from_errno(errno));
  if (owner) give_to(name, *owner);
}

} // namespace corvane::daemon
