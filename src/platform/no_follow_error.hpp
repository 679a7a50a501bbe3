#pragma once

#include "core/error.hpp"

#include <cerrno>

namespace corvane::platform {

// The error of an open with O_NOFOLLOW: a symbolic link at the path gives
// ELOOP on Linux and EMLINK on FreeBSD; both are reported as SymLinkLoop.
inline Error no_follow_open_error(int error) noexcept {
#if defined(__FreeBSD__)
  if (error == EMLINK) return Error::SymLinkLoop;
#endif
  return error_from_errno(error);
}

} // namespace corvane::platform
