#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::test {

// The MTA side of the milter protocol, version 6: packets as bytes. Shared by
// the test client and the load generator; it never looks at the daemon's code.

// The largest length field either side accepts (command or reply byte
// included).
inline constexpr std::size_t k_max_milter_packet = 1048576;

// Everything a version 6 MTA can offer: actions SMFIF_ADDHDRS .. SMFIF_SETSYMLIST
// and every protocol flag up to SMFIP_HDR_LEADSPC and beyond.
inline constexpr std::uint32_t k_all_actions = 0x1FF;
inline constexpr std::uint32_t k_all_protocol_flags = 0x1FFFFF;

// One packet either way: the command (MTA) or reply code (filter) and the bytes
// after it.
struct MilterPacket {
  char code = 0;
  std::string payload;

  bool operator==(const MilterPacket &) const = default;
};

// Readable form for test failure messages: 'i' "\0\0\0\0X-Name\0value\0".
std::ostream &operator<<(std::ostream &out, const MilterPacket &packet);

using Replies = std::vector<MilterPacket>;
using MacroList = std::vector<std::pair<std::string, std::string>>;

// The client end of the 'C' command. Family '4', '6' or 'L' carries port and
// address; 'U' (unknown) carries neither, as real MTAs send it.
struct ConnectCommand {
  std::string host = "mail.example.org";
  char family = '4';
  std::uint16_t port = 25;
  std::string address = "192.0.2.10";
};

// The wire form: 4-byte big-endian length of code and payload, code, payload.
std::string frame(const MilterPacket &packet);
std::string frame(std::span<const MilterPacket> packets);

// Builders for each MTA command.
MilterPacket negotiate_packet(std::uint32_t version, std::uint32_t actions,
                              std::uint32_t protocol_flags);      // 'O'
MilterPacket macro_packet(char command, const MacroList &macros); // 'D'
MilterPacket connect_packet(const ConnectCommand &connect);       // 'C'
MilterPacket helo_packet(std::string_view name);                  // 'H'
MilterPacket mail_packet(std::string_view sender, const std::vector<std::string> &args = {});
MilterPacket rcpt_packet(std::string_view recipient, const std::vector<std::string> &args = {});
MilterPacket header_packet(std::string_view name, std::string_view value); // 'L'
MilterPacket end_of_headers_packet();                                      // 'N'
MilterPacket body_packet(std::string_view chunk);                          // 'B'
MilterPacket end_of_message_packet();                                      // 'E'
MilterPacket abort_packet();                                               // 'A'
MilterPacket quit_packet();                                                // 'Q'
MilterPacket quit_new_connection_packet();                                 // 'K'
MilterPacket data_packet();                                                // 'T'
MilterPacket unknown_command_packet(std::string_view line);                // 'U'

// Where the packet at the front of a byte buffer stands.
enum class PacketCut { ready, need_more, bad_length };
struct PacketHead {
  PacketCut cut = PacketCut::need_more;
  std::uint32_t length = 0; // the length field, once 4 bytes are there
  std::size_t size() const { return 4 + static_cast<std::size_t>(length); }
};
// Reads the length field; bad_length for 0 or above k_max_milter_packet.
PacketHead packet_head(std::string_view buffer);

// A reply that ends the filter's answer to one command: continue, temporary
// failure, reject, accept, discard, the negotiation reply, or a reply-code
// packet ('y'), which MTAs take as the complete answer (a byte after it would
// be read as the answer to the next command). Modifications ('i', 'm') and
// progress ('p') come before it.
bool is_final_reply(char code);

// The codes of the packets in order, for compact checks: "mmiyr".
std::string reply_codes(const Replies &replies);

// Parsed views of filter packets. They throw std::invalid_argument when the
// packet is not exactly of the expected form, so a malformed reply fails the
// test that reads it.
struct NegotiationReply {
  std::uint32_t version = 0;
  std::uint32_t actions = 0;
  std::uint32_t protocol_flags = 0;
  std::string extra; // anything after the 12 bytes (version 6 macro lists)
};
NegotiationReply parse_negotiation(const MilterPacket &packet); // 'O'

// 'i' (insert header) and 'm' (change header; an empty value deletes it):
// 4-byte big-endian index, name, NUL, value, NUL.
struct HeaderChange {
  std::uint32_t index = 0;
  std::string name;
  std::string value;

  bool operator==(const HeaderChange &) const = default;
};
std::ostream &operator<<(std::ostream &out, const HeaderChange &change);
HeaderChange parse_header_change(const MilterPacket &packet);

// 'y': the SMTP reply text ("550 5.7.1 ..."), sent with one trailing NUL.
std::string parse_reply_code_text(const MilterPacket &packet);

// Packets a filter sends, to compare what a test receives with.
MilterPacket reply(char code);
MilterPacket insert_header(std::string_view name, std::string_view value); // 'i' at index 0
MilterPacket delete_header(std::uint32_t index, std::string_view name);    // 'm', empty value
MilterPacket rejection(std::string_view text); // 'y' "550 5.7.1 " text NUL

} // namespace corvane::test
