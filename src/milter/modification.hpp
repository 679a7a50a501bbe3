#pragma once

#include "core/result.hpp"

#include <cstdint>
#include <memory_resource>
#include <string>
#include <string_view>

namespace corvane::milter {

// The packet that asks the MTA to insert a header at index 0, above all
// others: 'i', the index as 4 bytes big-endian, name, NUL, value, NUL.
// Errors: OutOfMemory.
Result<std::pmr::string> build_insert_header(std::string_view name, std::string_view value,
                                             std::pmr::memory_resource *allocator);

// The packet that asks the MTA to delete the index-th (1-based, counted among
// headers of that name) header called `name`: 'm', the index as 4 bytes
// big-endian, name, NUL, an empty value, NUL. Errors: OutOfMemory.
Result<std::pmr::string> build_change_header(std::uint32_t index, std::string_view name,
                                             std::pmr::memory_resource *allocator);

} // namespace corvane::milter
