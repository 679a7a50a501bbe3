#include "platform/event_queue.hpp"

#if !defined(__FreeBSD__)

#include <cerrno>

namespace corvane::platform {

namespace {

constexpr std::uint32_t k_read_interest = EPOLLIN | EPOLLET | EPOLLRDHUP;
constexpr std::uint32_t k_closed = EPOLLRDHUP | EPOLLHUP | EPOLLERR;

int control(int queue, int operation, int fd, std::uint32_t events) noexcept {
  epoll_event event{};
  event.events = events;
  event.data.fd = fd;
  return ::epoll_ctl(queue, operation, fd, &event);
}

} // namespace

Result<EventQueue> EventQueue::create() noexcept {
  UniqueFd queue(::epoll_create1(EPOLL_CLOEXEC));
  if (!queue) return error_from_errno(errno);
  return EventQueue(std::move(queue));
}

void EventQueue::forget(int fd) noexcept {
  (void)control(queue_.get(), EPOLL_CTL_DEL, fd, 0);
  drop_pending(fd);
}

// epoll takes one change per call. Every change is tried, as kqueue tries
// them all; the first refusal is the outcome (a worker's start-up must not
// succeed with a listener that was never registered).
Result<void> EventQueue::submit() noexcept {
  Result<void> outcome;
  for (std::size_t i = 0; i < change_count_; ++i) {
    const Change &change = changes_[i];
    // Write interest rides on the read registration until it fires.
    const int done =
        change.kind == Readiness::read
            ? control(queue_.get(), EPOLL_CTL_ADD, change.fd, k_read_interest)
            : control(queue_.get(), EPOLL_CTL_MOD, change.fd, k_read_interest | EPOLLOUT);
    if (done != 0 && outcome) outcome = error_from_errno(errno);
  }
  change_count_ = 0;
  return outcome;
}

Result<std::span<const ReadyEvent>> EventQueue::wait(int timeout_ms) noexcept {
  (void)submit();
  const int count =
      ::epoll_wait(queue_.get(), raw_.data(), static_cast<int>(raw_.size()), timeout_ms);
  if (count < 0) return error_from_errno(errno);
  std::size_t ready = 0;
  for (int i = 0; i < count; ++i) {
    const epoll_event &raw = raw_[static_cast<std::size_t>(i)];
    const int fd = raw.data.fd;
    const bool closed = (raw.events & k_closed) != 0;
    if ((raw.events & EPOLLOUT) != 0) {
      // One-shot: the write interest ends with its first report.
      (void)control(queue_.get(), EPOLL_CTL_MOD, fd, k_read_interest);
      ready_[ready++] = {fd, Readiness::write, closed, false};
    }
    if ((raw.events & (EPOLLIN | k_closed)) != 0)
      ready_[ready++] = {fd, Readiness::read, closed, false};
  }
  return std::span<const ReadyEvent>(ready_.data(), ready);
}

} // namespace corvane::platform

#endif
