#include "daemon/reference_data.hpp"

#include "log/log.hpp"

namespace corvane::daemon {

using log::ErrorName;
using log::log_message;
using log::Severity;

namespace {

std::optional<dmarc::PublicSuffixList> load_suffix_list(const config::Config &config) {
  if (!config.public_suffix_list || config.public_suffix_list->empty()) {
    log_message(Severity::info, "no PublicSuffixList configured; organizational domains come "
                                "from the DNS tree walk alone");
    return std::nullopt;
  }
  const std::string &path = *config.public_suffix_list;
  auto loaded = dmarc::load_public_suffix_list(std::pmr::get_default_resource(), path);
  if (!loaded) {
    log_message(Severity::err, "failed to load PublicSuffixList ", path, ": ",
                ErrorName{loaded.error()}, "; continuing on the DNS tree walk alone");
    return std::nullopt;
  }
  log_message(Severity::info, "loaded ", loaded->rule_count(), " public suffix rules from ", path);
  return std::move(*loaded);
}

} // namespace

ReferenceData load_reference_data(const config::Config &config) {
  ReferenceData data;
  if (config.trusted_sealers_file)
    data.trusted_sealers = filter::load_trusted_sealers(*config.trusted_sealers_file);
  data.public_suffix_list = load_suffix_list(config);
  return data;
}

} // namespace corvane::daemon
