#pragma once

#include <string_view>

namespace corvane {

// Every failure the program can report. The enumerator names are the names that
// appear in output ("error.FileNotFound" in log lines, the bare name elsewhere),
// so renaming one changes what operators see.
// clang-format off
#define CORVANE_ERRORS(X)                                                      \
  X(Unexpected)                                                                \
  X(OutOfMemory)                                                               \
  X(SystemResources)                                                           \
  X(InvalidArgument)                                                           \
  X(InvalidConfiguration)                                                      \
  X(InvalidMode)                                                               \
  X(MissingListenerSocket)                                                     \
  X(InvalidListenerSocket)                                                     \
  X(InvalidEnforcement)                                                        \
  X(InvalidRejectText)                                                         \
  X(InvalidQuarantineHeader)                                                   \
  X(InvalidPort)                                                               \
  X(InvalidHost)                                                               \
  X(InvalidPath)                                                               \
  X(InvalidUserSpec)                                                           \
  X(InvalidServerCount)                                                        \
  X(InvalidNameserver)                                                         \
  X(AlreadyRunning)                                                            \
  X(UsernameTooLong)                                                           \
  X(UserNotFound)                                                              \
  X(GroupNameTooLong)                                                          \
  X(GroupNotFound)                                                             \
  X(RefusingToDropToRoot)                                                      \
  X(SetgroupsFailed)                                                           \
  X(SetgidFailed)                                                              \
  X(SetuidFailed)                                                              \
  X(PrivilegeDropNotEffective)                                                 \
  X(FileNotFound)                                                              \
  X(FileTooBig)                                                                \
  X(IsDir)                                                                     \
  X(NotRegularFile)                                                            \
  X(NotDir)                                                                    \
  X(SymLinkLoop)                                                               \
  X(NameTooLong)                                                               \
  X(AccessDenied)                                                              \
  X(PermissionDenied)                                                          \
  X(UnknownName)                                                               \
  X(ProcessFdQuotaExceeded)                                                    \
  X(SystemFdQuotaExceeded)                                                     \
  X(NoSpaceLeft)                                                               \
  X(ReadOnlyFileSystem)                                                        \
  X(InputOutput)                                                               \
  X(WouldBlock)                                                                \
  X(Interrupted)                                                               \
  X(UnexpectedEof)                                                             \
  X(BrokenPipe)                                                                \
  X(ConnectionRefused)                                                         \
  X(ConnectionResetByPeer)                                                     \
  X(ConnectionTimedOut)                                                        \
  X(NetworkUnreachable)                                                        \
  X(HostUnreachable)                                                           \
  X(AddressInUse)                                                              \
  X(AddressNotAvailable)                                                       \
  X(AddressFamilyNotSupported)                                                 \
  X(ProtocolNotSupported)                                                      \
  X(MessageTooBig)                                                             \
  X(SocketNotConnected)                                                        \
  X(PacketTooShort)                                                            \
  X(PacketTooLarge)                                                            \
  X(OutputQueueFull)                                                           \
  X(CannotTag)                                                                 \
  X(EmptyLabel)                                                                \
  X(LabelTooLong)                                                              \
  X(TooManyLabels)                                                             \
  X(InvalidPointer)                                                            \
  X(TooManyPointers)                                                           \
  X(DnsNameError)                                                              \
  X(DnsServerFailure)                                                          \
  X(DnsTimeout)                                                                \
  X(DnsNoHealthyServers)                                                       \
  X(DnsIdMismatch)
// clang-format on

enum class Error : unsigned char {
#define CORVANE_ERROR_ENUMERATOR(name) name,
  CORVANE_ERRORS(CORVANE_ERROR_ENUMERATOR)
#undef CORVANE_ERROR_ENUMERATOR
};

// The exact text written for an error: "OutOfMemory" for Error::OutOfMemory.
std::string_view error_name(Error error) noexcept;

// Maps a system errno value to the error of the same meaning; Unexpected when
// the value has no name of its own. Callers whose operation gives a value a
// narrower meaning (EAGAIN from fork is SystemResources) map it themselves.
Error error_from_errno(int errno_value) noexcept;

} // namespace corvane
