#include "check/run.hpp"

#include <string_view>
#include <vector>

int main(int argc, char **argv) {
  std::vector<std::string_view> args;
  try {
    args.assign(argv + 1, argv + argc);
  } catch (...) {
    return corvane::check::k_exit_internal_error;
  }
  return corvane::check::run_check(args);
}
