#include "check/run.hpp"
#include "log/stderr_lock.hpp"

#include <string_view>
#include <vector>

int main(int argc, char **argv) {
  std::vector<std::string_view> args;
  try {
    args.assign(argv + 1, argv + argc);
  } catch (...) {
    // Out of memory before the run starts is still reported as one.
    corvane::log::write_stderr(corvane::check::k_out_of_memory_line);
    return corvane::check::k_exit_internal_error;
  }
  return corvane::check::run_check(args);
}
