#include "milter/modification.hpp"

#include "core/big_endian.hpp"

namespace corvane::milter {

namespace {

Result<std::pmr::string> build_header_packet(char command, std::uint32_t index,
                                             std::string_view name, std::string_view value,
                                             std::pmr::memory_resource *allocator) {
  return catch_out_of_memory([&]() -> Result<std::pmr::string> {
    std::pmr::string packet(allocator);
    packet.reserve(1 + 4 + name.size() + 1 + value.size() + 1);
    packet.push_back(command);
    char index_bytes[4];
    write_u32_be(index_bytes, index);
    packet.append(index_bytes, 4);
    packet.append(name);
    packet.push_back('\0');
    packet.append(value);
    packet.push_back('\0');
    return packet;
  });
}

} // namespace

Result<std::pmr::string> build_insert_header(std::string_view name, std::string_view value,
                                             std::pmr::memory_resource *allocator) {
  return build_header_packet('i', 0, name, value, allocator);
}

Result<std::pmr::string> build_change_header(std::uint32_t index, std::string_view name,
                                             std::pmr::memory_resource *allocator) {
  return build_header_packet('m', index, name, {}, allocator);
}

} // namespace corvane::milter
