#pragma once

#include "log/log.hpp"
#include "log/stderr_lock.hpp"

#include <initializer_list>
#include <mutex>
#include <string_view>

namespace corvane::config {

// A refusal the operator must see even when the log goes elsewhere: the err
// line, then the same text bare on standard error, kept together.
template <typename... Pieces> void refuse_with_stderr_copy(const Pieces &...pieces) noexcept {
  std::lock_guard guard(log::stderr_lock());
  log::log_message(log::Severity::err, pieces...);
  log::write_stderr_line({std::string_view(pieces)...});
}

} // namespace corvane::config
