#pragma once

#include "core/result.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane::daemon {

// The daemon tells the process that started it that it is ready with this byte.
inline constexpr char k_ready_byte = 'K';
inline constexpr int k_readiness_wait_ms = 60'000;

struct ResolvedUser {
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
};

// Refuses to start beside a live instance: success unless the PID file names
// a process that exists and is neither this process nor its parent (then
// AlreadyRunning, after the err line). A missing, unreadable, empty or
// non-numeric file, and a number that is not above 0, count as stale.
Result<void> check_pid_file(std::string_view path);

// Detaches from the terminal. Returns, in the daemon process only, the write
// end of the start-up pipe; the process that was started waits up to 60 s for
// the readiness byte and exits 0 (got "K") or 1 (anything else), and the
// intermediate process exits 0. Errors: ProcessFdQuotaExceeded,
// SystemFdQuotaExceeded, SystemResources, Unexpected, and the errors of
// opening /dev/null.
Result<int> daemonize();

// Writes the readiness byte and closes the pipe.
void notify_parent(int startup_pipe) noexcept;

// Writes the process id and a newline. The file is created with mode 0644
// (less the mask) and never through a symbolic link: a link planted in a
// directory the daemon's user owns must not make root write elsewhere.
// Errors: NameTooLong, the errors of open and write (SymLinkLoop, ...).
Result<void> write_pid_file(std::string_view path);
void remove_pid_file(std::string_view path) noexcept;

// Creates the directory that holds `file_path` (mode 0755 whatever the mask)
// and gives it to `owner`. Problems are logged at warning and never stop
// start-up. Shared system directories and sticky directories never change
// owner.
void prepare_runtime_dir(std::string_view file_path, std::optional<ResolvedUser> owner);

// Sets the soft open-files limit to `requested` (at most the hard limit) and
// logs the outcome.
void set_fd_limit(std::uint64_t requested);

// "user" or "user:group". Errors: InvalidUserSpec, UsernameTooLong,
// UserNotFound, GroupNameTooLong, GroupNotFound.
Result<ResolvedUser> resolve_user_spec(std::string_view value);

// Errors: those of resolve_user_spec, RefusingToDropToRoot, SetgroupsFailed,
// SetgidFailed, SetuidFailed, PrivilegeDropNotEffective.
Result<void> drop_privileges(std::string_view value);

} // namespace corvane::daemon
