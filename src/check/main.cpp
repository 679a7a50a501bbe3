#include "log/log.hpp"

int main() {
  corvane::log::install_log_settings(corvane::log::check_tool_log_settings());
  corvane::log::log_message(corvane::log::Severity::err,
                            "corvane-check: evaluation is not available in this build");
  return 1;
}
