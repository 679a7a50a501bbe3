#include "config/load_config.hpp"

#include "config/config_file.hpp"
#include "config/config_keys.hpp"
#include "log/log.hpp"

namespace corvane::config {

namespace {

Result<ConfigDocument> read_document(std::string_view path) {
  // The text lives only until it is parsed; the document owns its copies.
  const auto text = read_config_file(path);
  if (!text) return text.error();
  return parse_config_text(*text);
}

Result<Config> check_and_build(const ConfigDocument &document) {
  if (auto checked = check_config_keys(document); !checked) return checked.error();
  return build_config(document);
}

} // namespace

Result<Config> config_from_document(const ConfigDocument &document) {
  auto config = check_and_build(document);
  if (!config)
    log::log_message(log::Severity::err, "config parse error: ", log::ErrorName{config.error()});
  return config;
}

Result<Config> load_config(std::string_view path) {
  const auto document = read_document(path);
  if (!document) {
    log::log_message(log::Severity::err, "failed to load config ", path, ": ",
                     log::ErrorName{document.error()});
    return document.error();
  }
  return config_from_document(*document);
}

} // namespace corvane::config
