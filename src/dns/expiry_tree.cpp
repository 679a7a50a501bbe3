#include "dns/expiry_tree.hpp"

#include <algorithm>

namespace corvane::dns {

namespace {

std::size_t round_up_to_power_of_two(std::size_t n) noexcept {
  std::size_t power = 1;
  while (power < n)
    power *= 2;
  return power;
}

} // namespace

ExpiryTree::ExpiryTree(std::pmr::memory_resource *allocator, std::size_t slots)
    : leaves_(round_up_to_power_of_two(slots)), nodes_(2 * leaves_, k_empty, allocator) {}

void ExpiryTree::set(std::size_t slot, std::int64_t expires) noexcept {
  std::size_t node = leaves_ + slot;
  nodes_[node] = expires;
  for (node /= 2; node >= 1; node /= 2) {
    const std::int64_t least = std::min(nodes_[2 * node], nodes_[2 * node + 1]);
    if (nodes_[node] == least) return; // every node above is unchanged too
    nodes_[node] = least;
  }
}

void ExpiryTree::rebuild() noexcept {
  for (std::size_t node = leaves_ - 1; node >= 1; --node)
    nodes_[node] = std::min(nodes_[2 * node], nodes_[2 * node + 1]);
}

std::size_t ExpiryTree::first_expired(std::int64_t now) const noexcept {
  if (leaves_ == 0 || nodes_[1] > now) return npos;
  std::size_t node = 1;
  while (node < leaves_)
    node = nodes_[2 * node] <= now ? 2 * node : 2 * node + 1;
  return node - leaves_;
}

} // namespace corvane::dns
