#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory_resource>
#include <vector>

namespace corvane::dns {

// The earliest expiry time over every stretch of a row of slots (the cache's
// insertion order), kept as a binary tree of minimums: the first slot whose
// entry has expired is found by one walk down the tree instead of a walk
// along the row, and a slot changes with one walk up that stops as soon as a
// minimum stays the same.
class ExpiryTree {
public:
  static constexpr std::int64_t k_empty = std::numeric_limits<std::int64_t>::max();
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // No slots; allocates nothing.
  explicit ExpiryTree(std::pmr::memory_resource *allocator) : nodes_(allocator) {}
  // `slots` empty slots, their number rounded up to a power of two.
  // Throws std::bad_alloc.
  ExpiryTree(std::pmr::memory_resource *allocator, std::size_t slots);

  std::size_t slots() const noexcept { return leaves_; }

  void set(std::size_t slot, std::int64_t expires) noexcept;
  void clear(std::size_t slot) noexcept { set(slot, k_empty); }

  // Filling many slots at once: `place` each, then `rebuild` the minimums.
  void place(std::size_t slot, std::int64_t expires) noexcept { nodes_[leaves_ + slot] = expires; }
  void rebuild() noexcept;

  // The first slot whose expiry is at or before `now`, or npos.
  std::size_t first_expired(std::int64_t now) const noexcept;

private:
  std::size_t leaves_ = 0;
  // nodes_[1] is the root, the children of i are 2i and 2i + 1, and the
  // slots are the leaves from leaves_ on.
  std::pmr::vector<std::int64_t> nodes_;
};

} // namespace corvane::dns
