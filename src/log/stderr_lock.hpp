#pragma once

#include <mutex>
#include <string_view>

namespace corvane::log {

// Direct writes to standard error outside the logger (configuration refusals,
// the fatal "error: " line) hold this lock, so their pieces stay together. The
// same thread may take it again while holding it.
std::recursive_mutex &stderr_lock() noexcept;

// Writes the text to standard error under the lock, retrying short writes.
void write_stderr(std::string_view text) noexcept;

} // namespace corvane::log
