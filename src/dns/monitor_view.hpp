#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace corvane::dns {

// What a resolver sees of the nameserver health monitor: one up flag per
// configured server, written by the monitor thread and read here without a
// lock. Each flag is a single byte, so a reader merely sees it a moment early
// or late.
struct MonitorView {
  const std::atomic<std::uint8_t> *up = nullptr;
  std::size_t count = 0;

  bool server_up(std::size_t index) const noexcept {
    return index < count && up[index].load(std::memory_order_relaxed) != 0;
  }
  bool any_up() const noexcept {
    for (std::size_t i = 0; i < count; ++i)
      if (server_up(i)) return true;
    return false;
  }
};

} // namespace corvane::dns
