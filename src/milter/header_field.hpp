#pragma once

#include <memory_resource>
#include <string>
#include <string_view>

namespace corvane::milter {

// One header of the current message as the MTA sent it with an 'L' command:
// name and value exactly as received (no unfolding, no trimming; the value
// arrives without its leading space). Owned by the session's allocator.
struct HeaderField {
  using allocator_type = std::pmr::polymorphic_allocator<char>;

  HeaderField() = default;
  explicit HeaderField(const allocator_type &allocator) : name(allocator), value(allocator) {}
  HeaderField(std::string_view name_, std::string_view value_, const allocator_type &allocator)
      : name(name_, allocator), value(value_, allocator) {}
  HeaderField(const HeaderField &other, const allocator_type &allocator)
      : name(other.name, allocator), value(other.value, allocator) {}
  HeaderField(HeaderField &&other, const allocator_type &allocator)
      : name(std::move(other.name), allocator), value(std::move(other.value), allocator) {}
  HeaderField(const HeaderField &) = default;
  HeaderField(HeaderField &&) = default;
  HeaderField &operator=(const HeaderField &) = default;
  HeaderField &operator=(HeaderField &&) = default;

  std::pmr::string name;
  std::pmr::string value;
};

} // namespace corvane::milter
