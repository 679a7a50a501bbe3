#pragma once

#include "core/result.hpp"

#include <array>
#include <cstddef>
#include <string_view>

namespace corvane {

// A path of this many bytes or more is refused with NameTooLong.
inline constexpr std::size_t k_max_path_bytes = 1024;

// A path as the system calls want it, NUL-terminated in a buffer of its own;
// nothing is allocated.
struct TerminatedPath {
  std::array<char, k_max_path_bytes> bytes{};
  const char *c_str() const noexcept { return bytes.data(); }
};

// Errors: NameTooLong, InvalidPath (a NUL inside would silently name another
// file than the one given).
inline Result<TerminatedPath> terminated_path(std::string_view path) noexcept {
  if (path.size() >= k_max_path_bytes) return Error::NameTooLong;
  if (path.find('\0') != std::string_view::npos) return Error::InvalidPath;
  TerminatedPath terminated;
  path.copy(terminated.bytes.data(), path.size());
  return terminated;
}

} // namespace corvane
