#include "dns/response.hpp"

#include "dns/name.hpp"
#include "dns/wire.hpp"

namespace corvane::dns {

namespace {

constexpr std::uint16_t k_type_ptr = 12;
constexpr std::uint16_t k_type_mx = 15;
constexpr std::size_t k_fixed_fields = 10; // TYPE, CLASS, TTL, RDLENGTH

Result<std::size_t> skip_questions(std::span<const std::byte> packet, std::size_t count) {
  std::size_t position = k_header_size;
  for (std::size_t i = 0; i < count; ++i) {
    auto end = skip_name(packet, position);
    if (!end) return end.error();
    position = *end + 4; // QTYPE, QCLASS
    if (position > packet.size()) return Error::PacketTooShort;
  }
  return position;
}

// The character-strings joined with nothing between them; a string that
// claims more than RDLENGTH leaves ends the data, and the ones before it stay.
void join_txt_strings(std::span<const std::byte> rdata, std::pmr::string &out) {
  std::size_t position = 0;
  while (position < rdata.size()) {
    const std::size_t length = wire_u8(rdata, position);
    if (position + 1 + length > rdata.size()) return;
    out.append(reinterpret_cast<const char *>(rdata.data() + position + 1), length);
    position += 1 + length;
  }
}

Result<void> name_data(std::span<const std::byte> packet, std::size_t at, std::pmr::string &out) {
  NameText name;
  if (auto read = read_name(packet, at, name); !read) return read.error();
  out.assign(name.view());
  return {};
}

Result<void> decode_data(std::span<const std::byte> packet, std::size_t rdata_at,
                         std::size_t rdlength, DnsAnswer &answer) {
  const auto rdata = packet.subspan(rdata_at, rdlength);
  switch (answer.type) {
  case k_type_txt: join_txt_strings(rdata, answer.data); return {};
  case k_type_cname:
  case k_type_ptr: return name_data(packet, rdata_at, answer.data);
  case k_type_mx:
    if (rdlength < 3) return Error::PacketTooShort;
    return name_data(packet, rdata_at + 2, answer.data); // after the preference
  default:
    answer.data.assign(reinterpret_cast<const char *>(rdata.data()), rdata.size());
    return {};
  }
}

} // namespace

Result<DnsResponse> parse_response(std::pmr::memory_resource *allocator,
                                   std::span<const std::byte> packet) {
  if (packet.size() < k_header_size) return Error::PacketTooShort;
  return catch_out_of_memory([&]() -> Result<DnsResponse> {
    DnsResponse response{AnswerList(allocator)};
    response.id = wire_u16(packet, 0);
    const std::uint16_t flags = wire_u16(packet, 2);
    response.truncated = (flags & k_flag_tc) != 0;
    response.rcode = static_cast<std::uint8_t>(flags & k_rcode_bits);
    const std::size_t question_count = wire_u16(packet, 4);
    const std::size_t answer_count = wire_u16(packet, 6);

    auto position = skip_questions(packet, question_count);
    if (!position) return position.error();
    std::size_t at = *position;
    while (response.answers.size() < answer_count && at < packet.size()) {
      NameText owner;
      if (auto read = read_name(packet, at, owner); !read) return read.error();
      auto owner_end = skip_name(packet, at);
      if (!owner_end) return owner_end.error();
      const std::size_t fixed = *owner_end;
      if (packet.size() - fixed < k_fixed_fields) break;
      const std::size_t rdlength = wire_u16(packet, fixed + 8);
      const std::size_t rdata_at = fixed + k_fixed_fields;
      if (packet.size() - rdata_at < rdlength) break;

      DnsAnswer &answer = response.answers.emplace_back();
      answer.name.assign(owner.view());
      answer.type = wire_u16(packet, fixed);
      answer.ttl = wire_u32(packet, fixed + 4);
      if (auto data = decode_data(packet, rdata_at, rdlength, answer); !data) return data.error();
      at = rdata_at + rdlength;
    }
    return response;
  });
}

} // namespace corvane::dns
