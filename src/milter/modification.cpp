#include "milter/modification.hpp"

namespace corvane::milter {

namespace {

Result<std::pmr::string> build_header_packet(char command, std::uint32_t index,
                                             std::string_view name, std::string_view value,
                                             std::pmr::memory_resource *allocator) {
  return catch_out_of_memory([&]() -> Result<std::pmr::string> {
    std::pmr::string packet(allocator);
    packet.reserve(1 + 4 + name.size() + 1 + value.size() + 1);
    packet.push_back(command);
    for (int shift = 24; shift >= 0; shift -= 8)
      packet.push_back(static_cast<char>((index >> shift) & 0xFF));
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
