#pragma once

#include "core/result.hpp"
#include "core/unique_fd.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#if defined(__FreeBSD__)
#include <sys/event.h>
#else
#include <sys/epoll.h>
#endif

namespace corvane::platform {

enum class Readiness : std::uint8_t { read, write };

// One readiness report of a descriptor.
struct ReadyEvent {
  int fd = -1;
  Readiness kind = Readiness::read;
  bool end_of_input = false; // the peer closed its side, or the socket failed
  bool error = false;        // a registration the kernel refused; carries no readiness
};

// Changes wait in a list of this many and go to the kernel together.
inline constexpr std::size_t k_change_batch = 128;
// One wait reports at most this many descriptors.
inline constexpr std::size_t k_event_batch = 64;

// The worker's edge-triggered readiness queue: kqueue on FreeBSD, epoll on
// Linux. Read interest is edge-triggered (reported once per change, so the
// owner reads or accepts until the call would block); write interest is
// one-shot (reported once, then gone until armed again). Not thread-safe:
// one queue belongs to one worker thread.
class EventQueue {
public:
  // Errors: ProcessFdQuotaExceeded, SystemFdQuotaExceeded, SystemResources,
  // Unexpected.
  static Result<EventQueue> create() noexcept;

  EventQueue(EventQueue &&) noexcept = default;
  EventQueue &operator=(EventQueue &&) noexcept = default;
  EventQueue(const EventQueue &) = delete;
  EventQueue &operator=(const EventQueue &) = delete;

  // Queues a change. When the list is full it is first handed to the kernel
  // on its own, without collecting readiness, so nothing is lost.
  void queue_change(int fd, Readiness kind) noexcept;
  void watch_read(int fd) noexcept { queue_change(fd, Readiness::read); }
  // Only for a descriptor that has read interest.
  void arm_write(int fd) noexcept { queue_change(fd, Readiness::write); }
  // Removes every interest in `fd` at once (for a descriptor that stays open
  // but is no longer this queue's concern).
  void forget(int fd) noexcept;
  // Drops the changes still queued for `fd`; for a descriptor about to be
  // closed (the kernel forgets its registrations by itself), whose number a
  // new descriptor may take before the list reaches the kernel.
  void drop_pending(int fd) noexcept;

  // Hands the pending changes to the kernel without waiting.
  Result<void> submit() noexcept;
  // Hands the pending changes over and waits at most `timeout_ms` (negative:
  // without limit) for readiness. On failure the pending changes are dropped.
  Result<std::span<const ReadyEvent>> wait(int timeout_ms) noexcept;

  std::size_t pending_changes() const noexcept { return change_count_; }
  int fd() const noexcept { return queue_.get(); }

private:
  struct Change {
    int fd;
    Readiness kind;
  };
#if defined(__FreeBSD__)
  using RawEvent = struct kevent;
#else
  using RawEvent = epoll_event;
#endif

  explicit EventQueue(UniqueFd queue) noexcept : queue_(std::move(queue)) {}

  UniqueFd queue_;
  std::array<Change, k_change_batch> changes_{};
  std::size_t change_count_ = 0;
  std::array<RawEvent, k_event_batch> raw_{};
  // A descriptor can be readable and writable in one report: two events.
  std::array<ReadyEvent, 2 * k_event_batch> ready_{};
};

} // namespace corvane::platform
