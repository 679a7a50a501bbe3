#pragma once

#include "log/log.hpp"
#include "support/stderr_capture.hpp"

#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace corvane::test {

// Every level logged to standard error while it lives; lines() gives the
// messages without the "ident[pid]: " prefix.
class LogLines {
public:
  LogLines() {
    auto settings = log::check_tool_log_settings();
    settings.level = 7;
    settings.set_ident("t");
    log::install_log_settings(settings);
    log::open_log_connection();
  }
  ~LogLines() { log::install_log_settings(log::check_tool_log_settings()); }
  LogLines(const LogLines &) = delete;
  LogLines &operator=(const LogLines &) = delete;

  std::vector<std::string> lines() const { return log_messages(capture_.text()); }
  bool has(const std::string &line) const {
    const auto all = lines();
    return std::find(all.begin(), all.end(), line) != all.end();
  }
  bool has_prefix(const std::string &start) const {
    for (const auto &line : lines())
      if (line.starts_with(start)) return true;
    return false;
  }

private:
  StderrCapture capture_;
};

} // namespace corvane::test
