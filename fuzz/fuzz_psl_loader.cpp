// Any file content: the Public Suffix List loader must never crash, and every
// rule it stores must be folded and within length.
#include "dmarc/public_suffix_list.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

// The loader reads a file: one per process, removed when the run ends so
// that replays in the test suite leave nothing behind in /tmp.
struct ScratchFile {
  std::string path = "/tmp/corvane-fuzz-psl-" + std::to_string(::getpid());
  ~ScratchFile() { ::unlink(path.c_str()); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const ScratchFile scratch;
  const std::string &path = scratch.path;
  std::FILE *file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  const auto list = corvane::dmarc::load_public_suffix_list(std::pmr::get_default_resource(), path);
  if (!list) return 0;
  for (const auto *set : {&list->rules, &list->wildcards, &list->exceptions})
    for (const auto &rule : *set) {
      if (rule.empty() || rule.size() > corvane::dmarc::k_max_rule_bytes) std::abort();
      for (const char c : rule)
        if (c >= 'A' && c <= 'Z') std::abort();
      if (!corvane::dmarc::is_public_suffix(*list, rule) && set == &list->rules &&
          !list->exceptions.contains(rule) && rule.front() != '.' && rule.back() != '.')
        std::abort();
    }
  return 0;
}
