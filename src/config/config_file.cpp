#include "config/config_file.hpp"

#include "platform/unique_fd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace corvane::config {

namespace {

// open(2) wants a NUL-terminated path; a NUL inside would silently name a
// different file than the one given.
Result<platform::UniqueFd> open_read_only(std::string_view path) {
  if (path.size() >= k_max_config_path) return Error::NameTooLong;
  if (path.find('\0') != std::string_view::npos) return Error::InvalidPath;
  std::array<char, k_max_config_path> terminated{};
  std::memcpy(terminated.data(), path.data(), path.size());
  for (;;) {
    const int fd = ::open(terminated.data(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return platform::UniqueFd(fd);
    if (errno != EINTR) return error_from_errno(errno);
  }
}

// Reads until end of file, but never holds more than one byte past the limit:
// that byte is enough to know the file is too big, whatever the file is (a
// pipe or a device reports no size to trust).
Result<std::string> read_to_end(int fd) {
  std::string text;
  std::array<char, 65536> chunk;
  for (;;) {
    const ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return error_from_errno(errno);
    }
    if (n == 0) return text;
    if (text.size() + static_cast<std::size_t>(n) > k_max_config_bytes) return Error::FileTooBig;
    text.append(chunk.data(), static_cast<std::size_t>(n));
  }
}

} // namespace

Result<std::string> read_config_file(std::string_view path) {
  return catch_out_of_memory([&]() -> Result<std::string> {
    auto fd = open_read_only(path);
    if (!fd) return fd.error();
    return read_to_end(fd->get());
  });
}

} // namespace corvane::config
