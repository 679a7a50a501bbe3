#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::test {

// Hand-assembled DNS packets, written independently of the code under test.
class PacketBuilder {
public:
  PacketBuilder &u8(unsigned value) {
    bytes_.push_back(static_cast<std::byte>(value & 0xFF));
    return *this;
  }
  PacketBuilder &u16(unsigned value) { return u8(value >> 8).u8(value); }
  PacketBuilder &u32(std::uint32_t value) { return u16(value >> 16).u16(value & 0xFFFF); }
  PacketBuilder &text(std::string_view s) {
    for (char c : s)
      u8(static_cast<unsigned char>(c));
    return *this;
  }
  PacketBuilder &bytes(std::initializer_list<unsigned> values) {
    for (unsigned v : values)
      u8(v);
    return *this;
  }
  // Labels of a dotted name, then the zero byte.
  PacketBuilder &name(std::string_view dotted) {
    while (!dotted.empty()) {
      const std::size_t dot = dotted.find('.');
      const std::string_view label = dotted.substr(0, dot);
      u8(static_cast<unsigned>(label.size())).text(label);
      if (dot == std::string_view::npos) break;
      dotted.remove_prefix(dot + 1);
    }
    return u8(0);
  }
  PacketBuilder &pointer(unsigned offset) { return u8(0xC0 | (offset >> 8)).u8(offset); }
  PacketBuilder &header(unsigned id, unsigned flags, unsigned qd, unsigned an) {
    return u16(id).u16(flags).u16(qd).u16(an).u16(0).u16(0);
  }
  // TYPE, CLASS IN, TTL and RDLENGTH of an answer whose owner was written.
  PacketBuilder &fixed(unsigned type, std::uint32_t ttl, unsigned rdlength) {
    return u16(type).u16(1).u32(ttl).u16(rdlength);
  }
  PacketBuilder &txt_rdata(std::initializer_list<std::string_view> strings) {
    unsigned length = 0;
    for (auto s : strings)
      length += 1 + static_cast<unsigned>(s.size());
    u16(length);
    for (auto s : strings)
      u8(static_cast<unsigned>(s.size())).text(s);
    return *this;
  }

  // A TXT answer (TYPE, CLASS, TTL, RDLENGTH, strings) after its owner.
  PacketBuilder &txt(std::uint32_t ttl, std::initializer_list<std::string_view> strings) {
    return u16(16).u16(1).u32(ttl).txt_rdata(strings);
  }

  std::size_t size() const { return bytes_.size(); }
  std::span<const std::byte> span() const { return bytes_; }
  std::vector<std::byte> &raw() { return bytes_; }
  // The bytes as a string, as a socket sends them.
  std::string str() const {
    return std::string(reinterpret_cast<const char *>(bytes_.data()), bytes_.size());
  }

private:
  std::vector<std::byte> bytes_;
};

} // namespace corvane::test
