#include "config/config_file.hpp"

#include "core/bounded_file.hpp"

namespace corvane::config {

// Any kind of file is read, as the daemon's configuration always was: a pipe
// or a device is the operator's explicit choice, and the size limit still
// holds, whatever the file reports as its size.
Result<std::string> read_config_file(std::string_view path) {
  return catch_out_of_memory([&]() -> Result<std::string> {
    auto content = read_bounded_file(path, k_max_config_bytes, FileKind::any);
    if (!content) return content.error();
    return std::string(*content);
  });
}

} // namespace corvane::config
