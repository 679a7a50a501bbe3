#include "check/options.hpp"

#include "core/ip_text.hpp"
#include "core/number.hpp"

#include <array>

namespace corvane::check {

namespace {

enum class Option { from, mailfrom, spf, dkim, dkim_result, psl, nameserver, port, budget };

struct OptionName {
  std::string_view name;
  Option option;
  std::string_view missing_value;
};

constexpr std::array<OptionName, 9> k_options = {{
    {"--from", Option::from, "--from needs a value"},
    {"--mailfrom", Option::mailfrom, "--mailfrom needs a value"},
    {"--spf", Option::spf, "--spf needs a value"},
    {"--dkim", Option::dkim, "--dkim needs a value"},
    {"--dkim-result", Option::dkim_result, "--dkim-result needs a value"},
    {"--psl", Option::psl, "--psl needs a value"},
    {"-n", Option::nameserver, "-n needs a value"},
    {"-p", Option::port, "-p needs a value"},
    {"-m", Option::budget, "-m needs a value"},
}};

const OptionName *find_option(std::string_view arg) noexcept {
  for (const auto &option : k_options)
    if (option.name == arg) return &option;
  return nullptr;
}

// Stores one option's value; the message of a value that does not read.
std::optional<std::string_view> apply(CheckOptions &options, Option option,
                                      std::string_view value) {
  switch (option) {
  case Option::from:
    // The Author Domain is never empty; an empty value is no value.
    if (value.empty()) return "--from needs a value";
    options.from = value;
    break;
  case Option::mailfrom: options.mailfrom = value; break;
  case Option::spf: options.spf = value; break;
  case Option::dkim: options.dkim = value; break;
  case Option::dkim_result: options.dkim_result = value; break;
  case Option::psl: options.psl = value; break;
  case Option::nameserver: options.nameserver = value; break;
  case Option::port: {
    const auto port = read_u16(value);
    if (!port) return "invalid port";
    options.port = *port;
    break;
  }
  case Option::budget: {
    const auto budget = read_i64(value);
    if (!budget) return "-m must be a number of milliseconds";
    if (*budget < 0) return "-m must be 0 (disabled) or a positive number of milliseconds";
    options.budget_ms = *budget;
    break;
  }
  }
  return std::nullopt;
}

bool is_nameserver_address(std::string_view text) noexcept {
  return text.size() <= k_max_ip_text && (parse_ipv4_text(text) || parse_ipv6_text(text));
}

} // namespace

OptionsOutcome read_options(std::span<const std::string_view> args) {
  CheckOptions options;
  bool from_given = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-h" || args[i] == "--help") return ShowUsage{};
    const OptionName *option = find_option(args[i]);
    if (option == nullptr) return ArgumentError{"unknown argument"};
    if (i + 1 == args.size()) return ArgumentError{option->missing_value};
    if (const auto error = apply(options, option->option, args[++i])) return ArgumentError{*error};
    from_given = from_given || option->option == Option::from;
  }
  if (!from_given) return ArgumentError{"--from is required (see -h)"};
  if (!is_nameserver_address(options.nameserver))
    return ArgumentError{"DNS resolver: invalid nameserver address"};
  return options;
}

} // namespace corvane::check
