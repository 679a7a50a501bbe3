#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace corvane::milter {

// The configuration generation: advanced by the main thread on SIGHUP, read
// by every worker at the top of its loop. Each worker also writes the
// generation it has seen into its own acknowledgement slot.
class GenerationRecord {
public:
  explicit GenerationRecord(std::size_t workers)
      : acknowledged_(std::make_unique<std::atomic<std::uint64_t>[]>(workers)), slots_(workers) {}

  std::uint64_t advance() noexcept { return generation_.fetch_add(1) + 1; }
  std::uint64_t current() const noexcept { return generation_.load(); }

  void acknowledge(std::size_t worker, std::uint64_t generation) noexcept {
    if (worker < slots_) acknowledged_[worker].store(generation);
  }
  std::uint64_t acknowledged(std::size_t worker) const noexcept {
    return worker < slots_ ? acknowledged_[worker].load() : 0;
  }
  std::size_t slots() const noexcept { return slots_; }

private:
  std::atomic<std::uint64_t> generation_{0};
  std::unique_ptr<std::atomic<std::uint64_t>[]> acknowledged_;
  std::size_t slots_;
};

} // namespace corvane::milter
