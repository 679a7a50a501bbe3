#pragma once

#include <initializer_list>
#include <mutex>
#include <string_view>

namespace corvane::log {

// Direct writes to standard error outside the logger (configuration refusals,
// the fatal "error: " line) hold this lock, so their pieces stay together. The
// same thread may take it again while holding it.
std::recursive_mutex &stderr_lock() noexcept;

// Writes the text to standard error under the lock, retrying short writes.
void write_stderr(std::string_view text) noexcept;

// Writes the pieces and a newline to standard error under the lock: the whole
// text, uncut, with control bytes shown as "_" as in a logged line. Nothing
// is allocated, so the line can report that memory ran out.
void write_stderr_line(std::initializer_list<std::string_view> pieces) noexcept;

} // namespace corvane::log
