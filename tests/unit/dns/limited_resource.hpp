#pragma once

#include <cstddef>
#include <memory_resource>
#include <new>

namespace corvane::test {

// Fails every allocation after the first `allowed` ones and counts what is
// still outstanding, to prove the out-of-memory paths release what they took.
class LimitedResource : public std::pmr::memory_resource {
public:
  explicit LimitedResource(long allowed) : allowed_(allowed) {}
  long outstanding() const { return outstanding_; }
  long allocations() const { return allocations_; }

private:
  void *do_allocate(std::size_t bytes, std::size_t alignment) override {
    if (allocations_ >= allowed_) throw std::bad_alloc();
    ++allocations_;
    ++outstanding_;
    return std::pmr::new_delete_resource()->allocate(bytes, alignment);
  }
  void do_deallocate(void *p, std::size_t bytes, std::size_t alignment) override {
    --outstanding_;
    std::pmr::new_delete_resource()->deallocate(p, bytes, alignment);
  }
  bool do_is_equal(const std::pmr::memory_resource &other) const noexcept override {
    return this == &other;
  }

  long allowed_;
  long allocations_ = 0;
  long outstanding_ = 0;
};

} // namespace corvane::test
