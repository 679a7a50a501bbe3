#pragma once

#include <cstddef>
#include <memory_resource>
#include <new>

namespace corvane::test {

// Hands out `allowed` allocations from the default resource, then throws
// std::bad_alloc, to drive the out-of-memory paths.
class FailingResource final : public std::pmr::memory_resource {
public:
  explicit FailingResource(std::size_t allowed) : allowed_(allowed) {}
  std::size_t allocations() const noexcept { return count_; }

private:
  void *do_allocate(std::size_t bytes, std::size_t alignment) override {
    if (count_ == allowed_) throw std::bad_alloc();
    ++count_;
    return upstream_->allocate(bytes, alignment);
  }
  void do_deallocate(void *p, std::size_t bytes, std::size_t alignment) override {
    upstream_->deallocate(p, bytes, alignment);
  }
  bool do_is_equal(const std::pmr::memory_resource &other) const noexcept override {
    return this == &other;
  }

  std::size_t allowed_;
  std::size_t count_ = 0;
  std::pmr::memory_resource *upstream_ = std::pmr::new_delete_resource();
};

} // namespace corvane::test
