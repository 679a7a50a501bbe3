#pragma once

#include "config/config_document.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane::config {

// Readers of one key's value. They never fail: an absent key or a value that
// does not read gives the fallback, so a typo in a number cannot stop start-up.

// The value as written, possibly empty; nullopt when the key is absent.
std::optional<std::string_view> get_string(const ConfigSection &section,
                                           std::string_view key) noexcept;

// yes/true/1 and no/false/0, letters in any case.
bool get_bool(const ConfigSection &section, std::string_view key, bool fallback) noexcept;

// Unsigned decimals of 8, 32 and 64 bits with the shared number rules.
std::uint8_t get_u8(const ConfigSection &section, std::string_view key,
                    std::uint8_t fallback) noexcept;
std::uint32_t get_u32(const ConfigSection &section, std::string_view key,
                      std::uint32_t fallback) noexcept;
std::uint64_t get_count(const ConfigSection &section, std::string_view key,
                        std::uint64_t fallback) noexcept;

// A signed 64-bit decimal.
std::int64_t get_i64(const ConfigSection &section, std::string_view key,
                     std::int64_t fallback) noexcept;

// A byte count with an optional K/M/G multiplier and an optional trailing
// "B": 10M, 10 MB, 10mb and 10485760 are the same; 10MiB does not read.
std::uint64_t get_size(const ConfigSection &section, std::string_view key,
                       std::uint64_t fallback) noexcept;

// Syslog facility and level words, in any case; an unknown word gives the
// fallback (the callers pass mail and info).
std::uint8_t get_facility(const ConfigSection &section, std::string_view key,
                          std::uint8_t fallback) noexcept;
std::uint8_t get_level(const ConfigSection &section, std::string_view key,
                       std::uint8_t fallback) noexcept;

} // namespace corvane::config
