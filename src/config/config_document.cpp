#include "config/config_document.hpp"

#include "core/ascii.hpp"

namespace corvane::config {

std::optional<std::string_view> ConfigSection::find(std::string_view key) const noexcept {
  const auto it = index_.find(key);
  if (it == index_.end()) return std::nullopt;
  return entries_[it->second].value;
}

void ConfigSection::assign(std::string_view key, std::string_view value) {
  const auto it = index_.find(key);
  if (it != index_.end()) {
    entries_[it->second].value.assign(value);
    return;
  }
  entries_.push_back({std::string(key), std::string(value)});
  try {
    index_.emplace(std::string(key), entries_.size() - 1);
  } catch (...) {
    // Keep the index and the entries in step when the index cannot grow.
    entries_.pop_back();
    throw;
  }
}

ConfigDocument::ConfigDocument() { open_section(k_global_section); }

const ConfigSection *ConfigDocument::find_section(std::string_view name) const noexcept {
  const auto it = index_.find(name);
  return it == index_.end() ? nullptr : &sections_[it->second];
}

std::size_t ConfigDocument::open_section(std::string_view name) {
  const auto it = index_.find(name);
  if (it != index_.end()) return it->second;
  sections_.emplace_back(std::string(name));
  try {
    index_.emplace(std::string(name), sections_.size() - 1);
  } catch (...) {
    sections_.pop_back();
    throw;
  }
  return sections_.size() - 1;
}

namespace {

// "[name]" with anything after the "]" ignored. A header without a closing
// bracket or with an empty name is no header and leaves the section as it is.
void read_section_header(ConfigDocument &document, std::size_t &current, std::string_view line) {
  const std::size_t close = line.find(']');
  if (close == std::string_view::npos) return;
  const std::string_view name = trim(line.substr(1, close - 1));
  if (name.empty()) return;
  current = document.open_section(name);
}

// "key = value": the first "=" separates, so a value may hold more of them.
void read_assignment(ConfigSection &section, std::string_view line) {
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) return;
  const std::string_view key = trim(line.substr(0, equals));
  if (key.empty()) return;
  section.assign(key, trim(line.substr(equals + 1)));
}

void read_line(ConfigDocument &document, std::size_t &current, std::string_view line) {
  line = trim(line);
  if (line.empty() || line.front() == '#' || line.front() == ';') return;
  if (line.front() == '[') return read_section_header(document, current, line);
  read_assignment(document.section_at(current), line);
}

} // namespace

Result<ConfigDocument> parse_config_text(std::string_view text) {
  return catch_out_of_memory([&]() -> Result<ConfigDocument> {
    ConfigDocument document;
    std::size_t current = 0; // "global"
    // Every LF ends a line; what follows the last LF is a line too.
    for (;;) {
      const std::size_t end = text.find('\n');
      read_line(document, current, text.substr(0, end));
      if (end == std::string_view::npos) break;
      text.remove_prefix(end + 1);
    }
    return document;
  });
}

} // namespace corvane::config
