#include "platform/event_queue.hpp"
#include "platform/new_kqueue.hpp"

#if defined(__FreeBSD__)

#include <cerrno>

namespace corvane::platform {

namespace {

struct kevent change_for(int fd, short filter, unsigned short flags) noexcept {
  struct kevent change {};
  EV_SET(&change, static_cast<uintptr_t>(fd), filter, flags, 0, 0, nullptr);
  return change;
}

struct kevent raw_change(int fd, Readiness kind) noexcept {
  return kind == Readiness::read ? change_for(fd, EVFILT_READ, EV_ADD | EV_CLEAR)
                                 : change_for(fd, EVFILT_WRITE, EV_ADD | EV_ONESHOT);
}

} // namespace

Result<EventQueue> EventQueue::create() noexcept {
  UniqueFd queue(new_kqueue());
  if (!queue) return error_from_errno(errno);
  return EventQueue(std::move(queue));
}

void EventQueue::forget(int fd) noexcept {
  drop_pending(fd);
  const struct kevent removals[2] = {change_for(fd, EVFILT_READ, EV_DELETE),
                                     change_for(fd, EVFILT_WRITE, EV_DELETE)};
  (void)::kevent(queue_.get(), removals, 2, nullptr, 0, nullptr);
}

// Submits the whole list in one call with a zero timeout. Every change
// carries EV_RECEIPT, so each is tried and answered by an entry of its own
// (EV_ERROR with data 0 on success) and no readiness is collected: one
// refused change never keeps the rest from the kernel. The first refusal is
// the outcome.
Result<void> EventQueue::submit() noexcept {
  std::array<struct kevent, k_change_batch> raw;
  std::array<struct kevent, k_change_batch> receipts;
  for (std::size_t i = 0; i < change_count_; ++i) {
    raw[i] = raw_change(changes_[i].fd, changes_[i].kind);
    raw[i].flags |= EV_RECEIPT;
  }
  const timespec zero{};
  const int count = static_cast<int>(change_count_);
  change_count_ = 0;
  const int answered = ::kevent(queue_.get(), raw.data(), count, receipts.data(), count, &zero);
  if (answered < 0) return error_from_errno(errno);
  for (int i = 0; i < answered; ++i) {
    const struct kevent &receipt = receipts[static_cast<std::size_t>(i)];
    if ((receipt.flags & EV_ERROR) != 0 && receipt.data != 0)
      return error_from_errno(static_cast<int>(receipt.data));
  }
  return {};
}

Result<std::span<const ReadyEvent>> EventQueue::wait(int timeout_ms) noexcept {
  std::array<struct kevent, k_change_batch> changes;
  for (std::size_t i = 0; i < change_count_; ++i)
    changes[i] = raw_change(changes_[i].fd, changes_[i].kind);
  const int change_count = static_cast<int>(change_count_);
  change_count_ = 0;
  const timespec limit{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1'000'000};
  const int count = ::kevent(queue_.get(), changes.data(), change_count, raw_.data(),
                             static_cast<int>(raw_.size()), timeout_ms < 0 ? nullptr : &limit);
  if (count < 0) return error_from_errno(errno);
  std::size_t ready = 0;
  for (int i = 0; i < count; ++i) {
    const struct kevent &raw = raw_[static_cast<std::size_t>(i)];
    const Readiness kind = raw.filter == EVFILT_WRITE ? Readiness::write : Readiness::read;
    ready_[ready++] = {static_cast<int>(raw.ident), kind, (raw.flags & EV_EOF) != 0,
                       (raw.flags & EV_ERROR) != 0};
  }
  return std::span<const ReadyEvent>(ready_.data(), ready);
}

} // namespace corvane::platform

#endif
