#pragma once

#include "core/result.hpp"
#include "core/string_hash.hpp"

#include <cstddef>
#include <functional>
#include <memory_resource>
#include <string>
#include <string_view>
#include <unordered_set>

namespace corvane::dmarc {

inline constexpr std::size_t k_max_psl_file_bytes = 4 * 1024 * 1024;
inline constexpr std::size_t k_max_rule_bytes = 253;

// Looked up by string_view without building a string.
using RuleSet = std::pmr::unordered_set<std::pmr::string, StringHash, std::equal_to<>>;

// Rule names in lower case, each stored once. Built before any worker thread
// starts and only read afterwards, so threads share it without a lock.
struct PublicSuffixList {
  explicit PublicSuffixList(
      std::pmr::memory_resource *allocator_ = std::pmr::get_default_resource())
      : allocator(allocator_), rules(allocator_), wildcards(allocator_), exceptions(allocator_) {}

  std::size_t rule_count() const noexcept {
    return rules.size() + wildcards.size() + exceptions.size();
  }

  std::pmr::memory_resource *allocator;
  RuleSet rules;      // "com", "co.uk"
  RuleSet wildcards;  // "*.ck" stored as "ck"
  RuleSet exceptions; // "!city.ck" stored as "city.ck"
};

// Reads a regular file only: a FIFO or a device named by mistake must not
// hold up the caller. Errors: the file's open or read error, NotRegularFile,
// IsDir, NameTooLong (a path of 1024 bytes or more), FileTooBig, OutOfMemory.
Result<PublicSuffixList> load_public_suffix_list(std::pmr::memory_resource *allocator,
                                                 std::string_view path);

// Whether this exact name (dots at either end ignored, case folded) is a
// public suffix.
bool is_public_suffix(const PublicSuffixList &list, std::string_view name) noexcept;

// Stores the folded text unless it is empty, too long or already there.
// Throws std::bad_alloc.
void add_rule(RuleSet &set, std::string_view text);

} // namespace corvane::dmarc
