#pragma once

#include "log/log.hpp"
#include "log/stderr_lock.hpp"

#include <initializer_list>
#include <mutex>
#include <string_view>

namespace corvane::config {

// Writes the pieces and a newline to standard error under the standard-error
// lock: the whole text, uncut, with control bytes shown as "_" as in the
// logged line.
void write_stderr_copy(std::initializer_list<std::string_view> pieces) noexcept;

// A refusal the operator must see even when the log goes elsewhere: the err
// line, then the same text bare on standard error, kept together.
template <typename... Pieces> void refuse_with_stderr_copy(const Pieces &...pieces) noexcept {
  std::lock_guard guard(log::stderr_lock());
  log::log_message(log::Severity::err, pieces...);
  write_stderr_copy({std::string_view(pieces)...});
}

} // namespace corvane::config
