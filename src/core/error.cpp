#include "core/error.hpp"

#include <array>
#include <cerrno>

namespace corvane {

namespace {

constexpr std::array k_error_names{
#define CORVANE_ERROR_TEXT(name) std::string_view{#name},
    CORVANE_ERRORS(CORVANE_ERROR_TEXT)
#undef CORVANE_ERROR_TEXT
};

} // namespace

std::string_view error_name(Error error) noexcept {
  const auto index = static_cast<std::size_t>(error);
  return index < k_error_names.size() ? k_error_names[index] : "Unexpected";
}

Error error_from_errno(int errno_value) noexcept {
  switch (errno_value) {
  case ENOMEM: return Error::SystemResources;
  case ENOBUFS: return Error::SystemResources;
  case EACCES: return Error::AccessDenied;
  case EPERM: return Error::PermissionDenied;
  case ENOENT: return Error::FileNotFound;
  case EISDIR: return Error::IsDir;
  case ENOTDIR: return Error::NotDir;
  case ELOOP: return Error::SymLinkLoop;
  case EFBIG: return Error::FileTooBig;
  case ENAMETOOLONG: return Error::NameTooLong;
  case EMFILE: return Error::ProcessFdQuotaExceeded;
  case ENFILE: return Error::SystemFdQuotaExceeded;
  case ENOSPC: return Error::NoSpaceLeft;
  case EROFS: return Error::ReadOnlyFileSystem;
  case EIO: return Error::InputOutput;
  case EAGAIN: return Error::WouldBlock;
  case EINTR: return Error::Interrupted;
  case EPIPE: return Error::BrokenPipe;
  case ECONNREFUSED: return Error::ConnectionRefused;
  case ECONNRESET: return Error::ConnectionResetByPeer;
  case ETIMEDOUT: return Error::ConnectionTimedOut;
  case ENETUNREACH: return Error::NetworkUnreachable;
  case EHOSTUNREACH: return Error::HostUnreachable;
  case EADDRINUSE: return Error::AddressInUse;
  case EADDRNOTAVAIL: return Error::AddressNotAvailable;
  case EAFNOSUPPORT: return Error::AddressFamilyNotSupported;
  case EPROTONOSUPPORT: return Error::ProtocolNotSupported;
  case EMSGSIZE: return Error::MessageTooBig;
  case ENOTCONN: return Error::SocketNotConnected;
  case EINVAL: return Error::InvalidArgument;
  default: return Error::Unexpected;
  }
}

} // namespace corvane
