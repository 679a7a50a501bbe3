#include "platform/event_queue.hpp"

namespace corvane::platform {

// The change list is the same on every system; only how it reaches the
// kernel differs (event_queue_epoll.cpp, event_queue_kqueue.cpp).

void EventQueue::queue_change(int fd, Readiness kind) noexcept {
  if (change_count_ == changes_.size()) (void)submit();
  changes_[change_count_++] = {fd, kind};
}

void EventQueue::drop_pending(int fd) noexcept {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < change_count_; ++i)
    if (changes_[i].fd != fd) changes_[kept++] = changes_[i];
  change_count_ = kept;
}

} // namespace corvane::platform
