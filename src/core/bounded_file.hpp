#pragma once

#include "core/result.hpp"
#include "core/terminated_path.hpp"

#include <cstddef>
#include <memory_resource>
#include <string>
#include <string_view>

namespace corvane {

enum class FileKind : unsigned char {
  regular_only, // anything but a regular file is NotRegularFile (a FIFO must not block start-up)
  any,          // pipes and devices are read too
};

// Reads the whole file at `path` (relative to the working directory) into
// memory, refusing one larger than `max_bytes` before it is all held: the
// buffer never grows past max_bytes + 1 bytes, whatever the file reports as
// its size. With FileKind::regular_only a FIFO is refused at once, never
// waited for; with FileKind::any a FIFO is read once its writer opens it.
// Errors: NameTooLong, InvalidPath (a NUL byte in the path), IsDir,
// NotRegularFile, FileTooBig, the errors of opening and reading
// (FileNotFound, AccessDenied, ...), OutOfMemory.
Result<std::pmr::string>
read_bounded_file(std::string_view path, std::size_t max_bytes, FileKind kind,
                  std::pmr::memory_resource *allocator = std::pmr::get_default_resource());

} // namespace corvane
