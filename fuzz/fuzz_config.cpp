// Drives the configuration path after the file is read: parsing, the key
// check and building the Config, on arbitrary bytes.
#include "config/config.hpp"
#include "config/config_document.hpp"
#include "config/config_keys.hpp"
#include "log/log.hpp"

#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace corvane;

namespace {

int g_null_fd = -1;
int g_stderr_fd = -1;

// Refusals write their copies straight to standard error; point it at
// /dev/null while one input runs, and back for the fuzzer's own reports.
class SilencedStderr {
public:
  SilencedStderr() { ::dup2(g_null_fd, STDERR_FILENO); }
  ~SilencedStderr() { ::dup2(g_stderr_fd, STDERR_FILENO); }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  g_null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  g_stderr_fd = ::dup(STDERR_FILENO);
  if (g_null_fd < 0 || g_stderr_fd < 0) std::abort();
  // Sanitizer reports keep reaching the terminal while the input runs.
  __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<std::intptr_t>(g_stderr_fd)));
  // Level 0 writes no log line at all.
  log::LogSettings quiet = log::initial_log_settings();
  quiet.level = 0;
  log::install_log_settings(quiet);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  auto document = config::parse_config_text(text);
  if (!document) return 0;
  if (document->global().name() != config::k_global_section) std::abort();
  SilencedStderr silenced;
  if (!config::check_config_keys(*document)) return 0;
  auto built = config::build_config(*document);
  if (built && built->listeners.empty()) std::abort(); // there is always a listener
  return 0;
}
