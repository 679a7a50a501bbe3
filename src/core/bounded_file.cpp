#include "core/bounded_file.hpp"

#include "core/unique_fd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace corvane {

namespace {

// Only a reader that refuses everything
// but a regular file opens without blocking: a FIFO then opens at once and is
// refused, where a reader of any kind waits for the FIFO's writer, as it must
// (a FIFO without one reads as empty).
Result<int> open_file(std::string_view path, FileKind kind) noexcept {
  const auto terminated = terminated_path(path);
  if (!terminated) return terminated.error();
  const int flags = O_RDONLY | O_CLOEXEC | (kind == FileKind::regular_only ? O_NONBLOCK : 0);
  for (;;) {
    const int fd = ::open(terminated->c_str(), flags);
    if (fd >= 0) return fd;
    if (errno != EINTR) return error_from_errno(errno);
  }
}

Result<void> check_kind(int fd, FileKind kind) noexcept {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return error_from_errno(errno);
  if (S_ISDIR(status.st_mode)) return Error::IsDir;
  if (kind == FileKind::regular_only && !S_ISREG(status.st_mode)) return Error::NotRegularFile;
  return {};
}

Result<void> read_to_end(int fd, std::size_t max_bytes, std::pmr::string &content) {
  std::size_t used = 0;
  for (;;) {
    if (used == content.size()) {
      const std::size_t grown = std::max<std::size_t>(64 * 1024, content.size() * 2);
      content.resize(std::min(grown, max_bytes + 1));
    }
    const ssize_t got = ::read(fd, content.data() + used, content.size() - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      return error_from_errno(errno);
    }
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
    if (used > max_bytes) return Error::FileTooBig;
  }
  content.resize(used);
  return {};
}

} // namespace

Result<std::pmr::string> read_bounded_file(std::string_view path, std::size_t max_bytes,
                                           FileKind kind, std::pmr::memory_resource *allocator) {
  return catch_out_of_memory([&]() -> Result<std::pmr::string> {
    auto opened = open_file(path, kind);
    if (!opened) return opened.error();
    const UniqueFd fd(*opened);
    if (auto checked = check_kind(fd.get(), kind); !checked) return checked.error();
    std::pmr::string content(allocator);
    if (auto read = read_to_end(fd.get(), max_bytes, content); !read) return read.error();
    return content;
  });
}

} // namespace corvane
