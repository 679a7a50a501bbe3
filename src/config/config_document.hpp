#pragma once

#include "core/result.hpp"
#include "core/string_hash.hpp"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace corvane::config {

// Searched with a string_view without building a std::string for every lookup.
using TextIndex = std::unordered_map<std::string, std::size_t, StringHash, std::equal_to<>>;

struct ConfigEntry {
  std::string key;
  std::string value;
};

// One [name] section: every key with its last value, in order of first
// appearance. Names and keys are exact bytes; nothing folds case.
class ConfigSection {
public:
  explicit ConfigSection(std::string name) : name_(std::move(name)) {}

  const std::string &name() const noexcept { return name_; }
  // In key order, each with the last value assigned to it.
  const std::vector<ConfigEntry> &entries() const noexcept { return entries_; }
  std::optional<std::string_view> find(std::string_view key) const noexcept;

  // The last assignment wins; the key keeps its first place in the order.
  void assign(std::string_view key, std::string_view value);

private:
  std::string name_;
  std::vector<ConfigEntry> entries_;
  TextIndex index_; // key -> position in entries_
};

// The parsed file: every section in order of first appearance, "global"
// always first and always present.
class ConfigDocument {
public:
  ConfigDocument();

  const std::vector<ConfigSection> &sections() const noexcept { return sections_; }
  const ConfigSection &global() const noexcept { return sections_.front(); }
  const ConfigSection *find_section(std::string_view name) const noexcept;

  // The section of that name, created at the end of the order when new; a
  // repeated header continues the earlier section. Returns its position.
  std::size_t open_section(std::string_view name);
  ConfigSection &section_at(std::size_t position) noexcept { return sections_[position]; }

private:
  std::vector<ConfigSection> sections_;
  TextIndex index_; // name -> position in sections_
};

inline constexpr std::string_view k_global_section = "global";

// Turns the text of a configuration file into a document. Lines that do not
// fit the grammar are skipped silently; only running out of memory fails.
Result<ConfigDocument> parse_config_text(std::string_view text);

} // namespace corvane::config
