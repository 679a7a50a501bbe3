#pragma once

#include "core/result.hpp"

#include <string_view>

namespace corvane {

// Writes the whole text to the descriptor, retrying short and interrupted
// writes. Errors: the write's error name; BrokenPipe also when the descriptor
// takes no more bytes.
Result<void> write_all(int fd, std::string_view text) noexcept;

} // namespace corvane
