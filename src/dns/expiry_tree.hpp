#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory_resource>
#include <vector>

namespace corvane::dns {

// The earliest expiry time over every stretch of a row of slots (the cache's
// insertion order), kept as a tree of minimums with eight children a node:
// the first slot whose entry has expired is found by one walk down the tree
// instead of a walk along the row, and a slot changes with one walk up that
// stops as soon as a minimum stays the same. Eight children of 8 bytes fill
// one cache line, so a walk of a million slots touches seven lines, not
// twenty.
class ExpiryTree {
public:
  static constexpr std::int64_t k_empty = std::numeric_limits<std::int64_t>::max();
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // No slots; allocates nothing.
  explicit ExpiryTree(std::pmr::memory_resource *allocator) : nodes_(allocator) {}
  // `slots` empty slots. Throws std::bad_alloc.
  ExpiryTree(std::pmr::memory_resource *allocator, std::size_t slots);

  std::size_t slots() const noexcept { return levels_ == 0 ? 0 : sizes_[0]; }

  std::int64_t expires(std::size_t slot) const noexcept { return nodes_[slot]; }
  void set(std::size_t slot, std::int64_t expires) noexcept;
  void clear(std::size_t slot) noexcept { set(slot, k_empty); }

  // Filling many slots at once: `place` each, then `rebuild` the minimums.
  void place(std::size_t slot, std::int64_t expires) noexcept { nodes_[slot] = expires; }
  void rebuild() noexcept;

  // The first slot whose expiry is at or before `now`, or npos.
  std::size_t first_expired(std::int64_t now) const noexcept;

private:
  static constexpr std::size_t k_fan_out = 8;
  static constexpr std::size_t k_max_levels = 24; // 8^23 slots exceed any memory

  // The least of the children of `parent` on the level below `level`.
  std::int64_t least_child(std::size_t level, std::size_t parent) const noexcept;

  // Level 0 is the row of slots; each level above holds the minimum of every
  // eight nodes below it, up to a single root. All levels share one array,
  // bottom first.
  std::pmr::vector<std::int64_t> nodes_;
  std::array<std::size_t, k_max_levels> offsets_{};
  std::array<std::size_t, k_max_levels> sizes_{};
  std::size_t levels_ = 0;
};

} // namespace corvane::dns
