#pragma once

#include <cstdint>
#include <string_view>

namespace corvane {

// wyhash, final version 4, with its default secret. The pct sample depends on
// the exact values, so this must never be swapped for a later wyhash: those
// changed the block loop and the secret. With a secret seed it also keys the
// DNS cache's table, so that names cannot be picked to share one probe run.
std::uint64_t wyhash(std::string_view bytes, std::uint64_t seed) noexcept;

} // namespace corvane
