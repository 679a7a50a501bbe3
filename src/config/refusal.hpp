#pragma once

#include "log/log.hpp"
#include "log/stderr_lock.hpp"

#include <initializer_list>
#include <mutex>
#include <string_view>

namespace corvane::config {

// Writes the pieces and a newline to standard error as one write under the
// standard-error lock. Like a log line it holds at most 1024 bytes of text and
// shows control bytes as "_", so the copy reads as the logged message does.
void write_stderr_copy(std::initializer_list<std::string_view> pieces) noexcept;

// A refusal the operator must see even when the log goes elsewhere: the err
// line, then the same text bare on standard error, kept together.
template <typename... Pieces> void refuse_with_stderr_copy(const Pieces &...pieces) noexcept {
  std::lock_guard guard(log::stderr_lock());
  log::log_message(log::Severity::err, pieces...);
  write_stderr_copy({std::string_view(pieces)...});
}

} // namespace corvane::config
