#include "check/run.hpp"

#include "check/check_evaluation.hpp"
#include "check/options.hpp"
#include "check/output.hpp"
#include "check/usage.hpp"
#include "core/write_all.hpp"
#include "log/log.hpp"
#include "log/stderr_lock.hpp"

#include <unistd.h>

#include <csignal>
#include <optional>
#include <string>

namespace corvane::check {

namespace {

// Output write errors are ignored: the verdict was reached either way.
void write_stdout(std::string_view text) noexcept { (void)write_all(STDOUT_FILENO, text); }

int argument_error(std::string_view message) {
  std::string line = "corvane-check: ";
  line.append(message).append("\n");
  log::write_stderr(line);
  return k_exit_argument_error;
}

// This line may have to be written when memory has run out: nothing here
// allocates.
int internal_error(Error error) noexcept {
  log::write_stderr_line({"error: ", error_name(error)});
  return k_exit_internal_error;
}

Result<std::optional<dmarc::PublicSuffixList>> load_psl(const CheckOptions &options) {
  if (!options.psl) return std::optional<dmarc::PublicSuffixList>();
  auto list = dmarc::load_public_suffix_list(std::pmr::get_default_resource(), *options.psl);
  if (!list) return list.error();
  return std::optional<dmarc::PublicSuffixList>(std::move(*list));
}

int run(std::span<const std::string_view> args) {
  const OptionsOutcome outcome = read_options(args);
  if (std::holds_alternative<ShowUsage>(outcome)) {
    write_stdout(k_usage_text);
    return k_exit_ok;
  }
  if (const auto *error = std::get_if<ArgumentError>(&outcome))
    return argument_error(error->message);
  const auto &options = std::get<CheckOptions>(outcome);

  const auto psl = load_psl(options);
  if (!psl) return argument_error("could not load the public suffix list");
  auto resolver = make_check_resolver(options.nameserver, options.port);
  if (!resolver) return internal_error(resolver.error());

  const auto result = evaluate_options(options, **resolver, psl->has_value() ? &**psl : nullptr,
                                       std::pmr::get_default_resource());
  write_stdout(format_check_output(options.from, result));
  return k_exit_ok;
}

} // namespace

int run_check(std::span<const std::string_view> args) {
  log::install_log_settings(log::check_tool_log_settings());
  log::open_log_connection();
  // A closed output pipe must not end the run: write errors are ignored.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return run(args);
  } catch (const std::bad_alloc &) {
    log::write_stderr(k_out_of_memory_line);
    return k_exit_internal_error;
  }
}

} // namespace corvane::check
