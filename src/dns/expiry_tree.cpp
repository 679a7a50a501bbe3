#include "dns/expiry_tree.hpp"

#include <algorithm>

namespace corvane::dns {

ExpiryTree::ExpiryTree(std::pmr::memory_resource *allocator, std::size_t slots)
    : nodes_(allocator) {
  std::size_t total = 0;
  std::size_t size = std::max<std::size_t>(slots, 1);
  for (;;) {
    offsets_[levels_] = total;
    sizes_[levels_] = size;
    ++levels_;
    total += size;
    if (size == 1) break;
    size = (size + k_fan_out - 1) / k_fan_out;
  }
  nodes_.assign(total, k_empty);
}

std::int64_t ExpiryTree::least_child(std::size_t level, std::size_t parent) const noexcept {
  const std::size_t first = parent * k_fan_out;
  const std::size_t last = std::min(first + k_fan_out, sizes_[level - 1]);
  const auto *below = nodes_.data() + offsets_[level - 1];
  return *std::min_element(below + first, below + last);
}

void ExpiryTree::set(std::size_t slot, std::int64_t expires) noexcept {
  nodes_[slot] = expires;
  std::size_t index = slot;
  for (std::size_t level = 1; level < levels_; ++level) {
    index /= k_fan_out;
    const std::int64_t least = least_child(level, index);
    std::int64_t &node = nodes_[offsets_[level] + index];
    if (node == least) return; // every node above is unchanged too
    node = least;
  }
}

void ExpiryTree::rebuild() noexcept {
  for (std::size_t level = 1; level < levels_; ++level)
    for (std::size_t index = 0; index < sizes_[level]; ++index)
      nodes_[offsets_[level] + index] = least_child(level, index);
}

std::size_t ExpiryTree::first_expired(std::int64_t now) const noexcept {
  if (levels_ == 0 || nodes_[offsets_[levels_ - 1]] > now) return npos;
  std::size_t index = 0;
  for (std::size_t level = levels_ - 1; level > 0; --level) {
    const std::size_t first = index * k_fan_out;
    const std::size_t last = std::min(first + k_fan_out, sizes_[level - 1]);
    const auto *below = nodes_.data() + offsets_[level - 1];
    index = static_cast<std::size_t>(
        std::find_if(below + first, below + last, [now](std::int64_t e) { return e <= now; }) -
        below);
  }
  return index;
}

} // namespace corvane::dns
