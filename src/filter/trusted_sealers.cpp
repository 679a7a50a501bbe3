#include "filter/trusted_sealers.hpp"

#include "core/ascii.hpp"
#include "core/bounded_file.hpp"
#include "log/log.hpp"

namespace corvane::filter {

bool TrustedSealers::contains(std::string_view authserv_id) const noexcept {
  for (const auto &id : ids)
    if (ascii_iequal(id, authserv_id)) return true;
  return false;
}

Result<TrustedSealers> parse_trusted_sealers(std::string_view text,
                                             std::pmr::memory_resource *allocator) {
  return catch_out_of_memory([&]() -> Result<TrustedSealers> {
    TrustedSealers sealers(allocator);
    while (!text.empty()) {
      const std::size_t newline = text.find('\n');
      const std::string_view line = trim(text.substr(0, newline), TrimSet::SpTabCr);
      if (!line.empty() && !line.starts_with('#')) sealers.ids.emplace_back(line);
      if (newline == std::string_view::npos) break;
      text.remove_prefix(newline + 1);
    }
    return sealers;
  });
}

TrustedSealers load_trusted_sealers(std::string_view path, std::pmr::memory_resource *allocator) {
  auto loaded = [&]() -> Result<TrustedSealers> {
    // A FIFO or device is refused rather than read: it could hold start-up
    // forever.
    const auto content = read_bounded_file(path, k_max_trusted_sealers_file_bytes,
                                           FileKind::regular_only, allocator);
    if (!content) return content.error();
    return parse_trusted_sealers(*content, allocator);
  }();
  if (!loaded) {
    log::log_message(log::Severity::err, "failed to load TrustedSealersFile ", path, ": ",
                     log::ErrorName{loaded.error()}, "; no ARC overrides will fire");
    return TrustedSealers(allocator);
  }
  log::log_message(log::Severity::info, "loaded ", loaded->ids.size(),
                   " trusted ARC sealer(s) from ", path);
  return std::move(*loaded);
}

} // namespace corvane::filter
