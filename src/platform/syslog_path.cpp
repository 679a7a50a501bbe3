#include "platform/syslog_path.hpp"

namespace corvane::platform {

const char *syslog_socket_path() noexcept {
#if defined(__FreeBSD__)
  return "/var/run/log";
#else
  return "/dev/log";
#endif
}

} // namespace corvane::platform
