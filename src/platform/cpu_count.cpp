#include "platform/cpu_count.hpp"

#include <cerrno>

#if defined(__FreeBSD__)
#include <sys/sysctl.h>
#include <sys/types.h>
#else
#include <unistd.h>
#endif

namespace corvane::platform {

#if defined(__FreeBSD__)

Result<std::uint32_t> cpu_count() noexcept {
  int count = 0;
  std::size_t size = sizeof(count);
  if (::sysctlbyname("hw.ncpu", &count, &size, nullptr, 0) != 0) {
    switch (errno) {
    case EPERM: return Error::PermissionDenied;
    case ENOENT: return Error::UnknownName;
    case ENOMEM: return Error::SystemResources;
    default: return Error::Unexpected;
    }
  }
  if (count < 1) return Error::Unexpected;
  return static_cast<std::uint32_t>(count);
}

#else

Result<std::uint32_t> cpu_count() noexcept {
  const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (count < 1) return errno == EINVAL ? Error::UnknownName : Error::Unexpected;
  return static_cast<std::uint32_t>(count);
}

#endif

} // namespace corvane::platform
