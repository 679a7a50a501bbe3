#include "support/milter_packet.hpp"

#include <cstdio>
#include <ostream>
#include <stdexcept>

namespace corvane::test {

namespace {

void put16(std::string &out, std::uint32_t value) {
  out += static_cast<char>((value >> 8) & 0xFF);
  out += static_cast<char>(value & 0xFF);
}

void put32(std::string &out, std::uint32_t value) {
  put16(out, value >> 16);
  put16(out, value & 0xFFFF);
}

std::uint32_t get32(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

void put_text(std::string &out, std::string_view text) {
  out += text;
  out += '\0';
}

MilterPacket bare(char code) { return MilterPacket{code, {}}; }

// MAIL and RCPT: the address and each ESMTP argument, each ending in NUL.
MilterPacket envelope_packet(char code, std::string_view address,
                             const std::vector<std::string> &args) {
  MilterPacket packet{code, {}};
  put_text(packet.payload, address);
  for (const auto &arg : args)
    put_text(packet.payload, arg);
  return packet;
}

void write_escaped(std::ostream &out, std::string_view bytes) {
  out << '"';
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0) {
      out << "\\0";
    } else if (c == '"' || c == '\\') {
      out << '\\' << c;
    } else if (byte >= 0x20 && byte < 0x7F) {
      out << c;
    } else {
      char hex[5];
      std::snprintf(hex, sizeof(hex), "\\x%02X", byte);
      out << hex;
    }
  }
  out << '"';
}

[[noreturn]] void malformed(const MilterPacket &packet, const char *what) {
  throw std::invalid_argument(std::string("malformed '") + packet.code + "' packet: " + what);
}

} // namespace

std::ostream &operator<<(std::ostream &out, const MilterPacket &packet) {
  out << '\'' << packet.code << "' ";
  write_escaped(out, packet.payload);
  return out;
}

std::ostream &operator<<(std::ostream &out, const HeaderChange &change) {
  out << change.index << ' ';
  write_escaped(out, change.name);
  out << ' ';
  write_escaped(out, change.value);
  return out;
}

std::string frame(const MilterPacket &packet) {
  std::string out;
  out.reserve(5 + packet.payload.size());
  put32(out, static_cast<std::uint32_t>(packet.payload.size() + 1));
  out += packet.code;
  out += packet.payload;
  return out;
}

std::string frame(std::span<const MilterPacket> packets) {
  std::string out;
  for (const auto &packet : packets)
    out += frame(packet);
  return out;
}

MilterPacket negotiate_packet(std::uint32_t version, std::uint32_t actions,
                              std::uint32_t protocol_flags) {
  MilterPacket packet{'O', {}};
  put32(packet.payload, version);
  put32(packet.payload, actions);
  put32(packet.payload, protocol_flags);
  return packet;
}

MilterPacket macro_packet(char command, const MacroList &macros) {
  MilterPacket packet{'D', std::string(1, command)};
  for (const auto &[name, value] : macros) {
    put_text(packet.payload, name);
    put_text(packet.payload, value);
  }
  return packet;
}

MilterPacket connect_packet(const ConnectCommand &connect) {
  MilterPacket packet{'C', {}};
  put_text(packet.payload, connect.host);
  packet.payload += connect.family;
  if (connect.family != 'U') {
    put16(packet.payload, connect.port);
    put_text(packet.payload, connect.address);
  }
  return packet;
}

MilterPacket helo_packet(std::string_view name) {
  MilterPacket packet{'H', {}};
  put_text(packet.payload, name);
  return packet;
}

MilterPacket mail_packet(std::string_view sender, const std::vector<std::string> &args) {
  return envelope_packet('M', sender, args);
}

MilterPacket rcpt_packet(std::string_view recipient, const std::vector<std::string> &args) {
  return envelope_packet('R', recipient, args);
}

MilterPacket header_packet(std::string_view name, std::string_view value) {
  MilterPacket packet{'L', {}};
  put_text(packet.payload, name);
  put_text(packet.payload, value);
  return packet;
}

MilterPacket end_of_headers_packet() { return bare('N'); }
MilterPacket body_packet(std::string_view chunk) { return MilterPacket{'B', std::string(chunk)}; }
MilterPacket end_of_message_packet() { return bare('E'); }
MilterPacket abort_packet() { return bare('A'); }
MilterPacket quit_packet() { return bare('Q'); }
MilterPacket quit_new_connection_packet() { return bare('K'); }
MilterPacket data_packet() { return bare('T'); }

MilterPacket unknown_command_packet(std::string_view line) {
  MilterPacket packet{'U', {}};
  put_text(packet.payload, line);
  return packet;
}

PacketHead packet_head(std::string_view buffer) {
  PacketHead head;
  if (buffer.size() < 4) return head;
  head.length = get32(buffer, 0);
  if (head.length == 0 || head.length > k_max_milter_packet)
    head.cut = PacketCut::bad_length;
  else if (buffer.size() >= head.size())
    head.cut = PacketCut::ready;
  return head;
}

bool is_final_reply(char code) {
  switch (code) {
  case 'c':
  case 't':
  case 'r':
  case 'a':
  case 'd':
  case 'y':
  case 'O': return true;
  default: return false;
  }
}

std::string reply_codes(const Replies &replies) {
  std::string codes;
  for (const auto &packet : replies)
    codes += packet.code;
  return codes;
}

NegotiationReply parse_negotiation(const MilterPacket &packet) {
  if (packet.code != 'O') malformed(packet, "not a negotiation reply");
  if (packet.payload.size() < 12) malformed(packet, "shorter than 12 bytes");
  NegotiationReply reply;
  reply.version = get32(packet.payload, 0);
  reply.actions = get32(packet.payload, 4);
  reply.protocol_flags = get32(packet.payload, 8);
  reply.extra = packet.payload.substr(12);
  return reply;
}

HeaderChange parse_header_change(const MilterPacket &packet) {
  if (packet.code != 'i' && packet.code != 'm') malformed(packet, "not a header change");
  const std::string_view payload = packet.payload;
  if (payload.size() < 4) malformed(packet, "no index");
  const std::size_t name_end = payload.find('\0', 4);
  if (name_end == std::string_view::npos) malformed(packet, "no NUL after the name");
  const std::size_t value_end = payload.find('\0', name_end + 1);
  if (value_end == std::string_view::npos) malformed(packet, "no NUL after the value");
  if (value_end + 1 != payload.size()) malformed(packet, "bytes after the value's NUL");
  return HeaderChange{get32(payload, 0), std::string(payload.substr(4, name_end - 4)),
                      std::string(payload.substr(name_end + 1, value_end - name_end - 1))};
}

std::string parse_reply_code_text(const MilterPacket &packet) {
  if (packet.code != 'y') malformed(packet, "not a reply-code packet");
  const std::string_view payload = packet.payload;
  if (payload.empty() || payload.back() != '\0') malformed(packet, "no trailing NUL");
  if (payload.find('\0') != payload.size() - 1) malformed(packet, "NUL inside the text");
  return std::string(payload.substr(0, payload.size() - 1));
}

MilterPacket reply(char code) { return {code, {}}; }

MilterPacket insert_header(std::string_view name, std::string_view value) {
  std::string payload;
  put32(payload, 0);
  payload.append(name).append(1, '\0').append(value).append(1, '\0');
  return {'i', payload};
}

MilterPacket delete_header(std::uint32_t index, std::string_view name) {
  std::string payload;
  put32(payload, index);
  payload.append(name).append(2, '\0');
  return {'m', payload};
}

MilterPacket rejection(std::string_view text) {
  return {'y', "550 5.7.1 " + std::string(text) + '\0'};
}

} // namespace corvane::test
