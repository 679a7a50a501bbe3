#pragma once

#if defined(__FreeBSD__)

#include <fcntl.h>
#include <sys/event.h>
#include <unistd.h>

namespace corvane::platform {

// A kqueue closed on exec. kqueuex(KQUEUE_CLOEXEC) says it in one call but
// exists only from FreeBSD 14; this works on every supported release.
inline int new_kqueue() noexcept {
  const int queue = ::kqueue();
  if (queue >= 0 && ::fcntl(queue, F_SETFD, FD_CLOEXEC) != 0) {
    ::close(queue);
    return -1;
  }
  return queue;
}

} // namespace corvane::platform

#endif
