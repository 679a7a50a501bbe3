#include "dns/query.hpp"

#include "dns/answer.hpp"
#include "dns/name.hpp"

namespace corvane::dns {

namespace {

void put_u8(PacketBytes &out, unsigned value) { out.push_back(static_cast<std::byte>(value)); }

void put_u16(PacketBytes &out, unsigned value) {
  put_u8(out, (value >> 8) & 0xFF);
  put_u8(out, value & 0xFF);
}

// Labels are written as they are: no case folding, no escapes, no check of
// the bytes, so the name asked is the name sent.
Result<void> put_qname(PacketBytes &out, std::string_view name) {
  if (name.size() > k_max_name_bytes) return Error::NameTooLong;
  name = without_outer_dots(name);
  std::size_t labels = 0;
  while (!name.empty()) {
    const std::size_t dot = name.find('.');
    const std::string_view label = name.substr(0, dot);
    if (label.empty()) return Error::EmptyLabel;
    if (label.size() > k_max_label_bytes) return Error::LabelTooLong;
    if (++labels > k_max_labels) return Error::TooManyLabels;
    put_u8(out, static_cast<unsigned>(label.size()));
    for (const char c : label)
      put_u8(out, static_cast<unsigned char>(c));
    if (dot == std::string_view::npos) break;
    name.remove_prefix(dot + 1);
    // A dot that ends the rest leaves an empty last label: "a..".
    if (name.empty()) return Error::EmptyLabel;
  }
  put_u8(out, 0);
  return {};
}

} // namespace

Result<PacketBytes> build_query(std::pmr::memory_resource *allocator, std::uint16_t id,
                                std::string_view name) {
  return catch_out_of_memory([&]() -> Result<PacketBytes> {
    PacketBytes out(allocator);
    out.reserve(27 + name.size() + 2);
    put_u16(out, id);
    put_u16(out, 0x0100); // a standard query with recursion desired
    put_u16(out, 1);      // QDCOUNT
    put_u16(out, 0);      // ANCOUNT
    put_u16(out, 0);      // NSCOUNT
    put_u16(out, 1);      // ARCOUNT: the OPT record
    if (auto written = put_qname(out, name); !written) return written.error();
    put_u16(out, k_type_txt);
    put_u16(out, 1); // class IN
    // OPT: root owner, TYPE 41, CLASS = payload size, TTL 0 (no extended
    // RCODE, version 0, DO clear), no options.
    put_u8(out, 0);
    put_u16(out, 41);
    put_u16(out, k_udp_payload_size);
    put_u16(out, 0);
    put_u16(out, 0);
    put_u16(out, 0);
    return out;
  });
}

} // namespace corvane::dns
