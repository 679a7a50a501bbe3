#include "core/error.hpp"
#include "log/log.hpp"
#include "log/stderr_lock.hpp"

#include <string>
#include <string_view>

using namespace corvane;

namespace {

// The daemon's top level: a fatal error is logged, named on standard error,
// and ends the process with status 1.
int exit_on(Error error) {
  log::log_message(log::Severity::err, "fatal: exiting on ", error_name(error));
  std::string line = "error: ";
  line += error_name(error);
  line += '\n';
  log::write_stderr(line);
  return 1;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 3 || std::string_view(argv[1]) != "-c") {
    log::log_message(log::Severity::err, "usage: corvane -c <config-file>");
    return exit_on(Error::InvalidArgument);
  }
  // The milter service is not built yet: refuse rather than pretend to run.
  log::log_message(log::Severity::err, "the milter service is not available in this build");
  return exit_on(Error::Unexpected);
}
