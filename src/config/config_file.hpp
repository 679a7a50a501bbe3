#pragma once

#include "core/bounded_file.hpp"
#include "core/result.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace corvane::config {

// The configuration is held in memory whole; a larger file is refused.
inline constexpr std::size_t k_max_config_bytes = 1'048'576;
// A path of this many bytes or more is refused with NameTooLong.
inline constexpr std::size_t k_max_config_path = k_max_path_bytes;

// Reads the file at `path` (relative to the working directory) to its end.
// Errors: NameTooLong, FileTooBig, InvalidPath (a NUL byte in the path), the
// errors of opening and reading (FileNotFound, AccessDenied, IsDir, ...),
// OutOfMemory.
Result<std::string> read_config_file(std::string_view path);

} // namespace corvane::config
