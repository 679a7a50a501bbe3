#include "platform/thread.hpp"

#include <cerrno>
#include <memory>
#include <new>

namespace corvane::platform {

namespace {

extern "C" void *run_body(void *block) {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()> *>(block));
  (*body)();
  return nullptr;
}

class Attributes {
public:
  Attributes() noexcept : ok_(::pthread_attr_init(&attr_) == 0) {}
  Attributes(const Attributes &) = delete;
  Attributes &operator=(const Attributes &) = delete;
  ~Attributes() {
    if (ok_) ::pthread_attr_destroy(&attr_);
  }
  bool configure() noexcept {
    return ok_ && ::pthread_attr_setstacksize(&attr_, k_thread_stack_bytes) == 0 &&
           ::pthread_attr_setguardsize(&attr_, k_thread_guard_bytes) == 0;
  }
  const pthread_attr_t *get() const noexcept { return &attr_; }

private:
  pthread_attr_t attr_{};
  bool ok_;
};

} // namespace

Thread &Thread::operator=(Thread &&other) noexcept {
  if (this != &other) {
    join();
    handle_ = other.handle_;
    joinable_ = other.joinable_;
    other.joinable_ = false;
  }
  return *this;
}

void Thread::join() noexcept {
  if (!joinable_) return;
  ::pthread_join(handle_, nullptr);
  joinable_ = false;
}

Result<Thread> start_thread(std::function<void()> body) noexcept {
  auto *block = new (std::nothrow) std::function<void()>();
  if (block == nullptr) return Error::OutOfMemory;
  *block = std::move(body);
  Attributes attributes;
  if (!attributes.configure()) {
    delete block;
    return Error::Unexpected;
  }
  Thread thread;
  const int failure = ::pthread_create(&thread.handle_, attributes.get(), &run_body, block);
  if (failure != 0) {
    delete block;
    return failure == EAGAIN ? Error::SystemResources : Error::Unexpected;
  }
  thread.joinable_ = true;
  return thread;
}

} // namespace corvane::platform
