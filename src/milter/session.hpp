#pragma once

#include "milter/header_field.hpp"
#include "milter/output_queue.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::milter {

inline constexpr std::size_t k_peer_label_bytes = 64;

// Copied from the configuration into every session at accept. 0 means no
// limit for the two header limits.
struct SessionLimits {
  std::uint64_t max_headers = 500;
  std::uint64_t max_header_bytes = 1'048'576;
  std::uint64_t max_body_bytes = 10'485'760; // kept with the session; nothing uses it
  std::uint64_t max_signatures = 20;         // kept with the session; nothing uses it
};

using OptionalText = std::optional<std::pmr::string>;

// Replaces `field` with a copy of `value`. Without memory the field is left
// empty and false is returned.
bool assign_text(OptionalText &field, std::string_view value,
                 std::pmr::memory_resource *allocator) noexcept;

inline std::string_view text_or(const OptionalText &field, std::string_view fallback) noexcept {
  return field ? std::string_view(*field) : fallback;
}

// What the MTA said about the current message. Cleared by reset_message.
struct MessageContext {
  explicit MessageContext(std::pmr::memory_resource *allocator)
      : headers(allocator), recipients(allocator), scratch(allocator) {}

  OptionalText mail_addr;
  OptionalText rcpt_addr;
  OptionalText queue_id; // macro "i"
  std::pmr::vector<HeaderField> headers;
  OptionalText envelope_sender; // first argument of the last MAIL
  std::pmr::vector<std::pmr::string> recipients;
  // Everything one evaluation allocates lives here and is released at once
  // when the message ends.
  std::pmr::monotonic_buffer_resource scratch;
  std::uint64_t header_bytes = 0;    // names plus values of the stored headers
  bool header_limit_reached = false; // a header could not be stored
};

// Names the MTA end of a connection in log lines; at most 64 bytes.
class PeerLabel {
public:
  PeerLabel() noexcept = default;
  explicit PeerLabel(std::string_view text) noexcept;
  std::string_view view() const noexcept { return {bytes_.data(), length_}; }

private:
  std::array<char, k_peer_label_bytes> bytes_{};
  std::uint8_t length_ = 0;
};

// One accepted MTA connection, owned by the worker that accepted it and
// touched only by that worker's thread.
struct MilterSession {
  MilterSession(int socket_, std::uint64_t listener_index_, const SessionLimits &limits_,
                PeerLabel peer_label_, std::pmr::memory_resource *allocator_)
      : allocator(allocator_), input(allocator_), message(allocator_),
        listener_index(listener_index_), limits(limits_), output(allocator_), socket(socket_),
        peer_label(peer_label_) {}
  MilterSession(const MilterSession &) = delete;
  MilterSession &operator=(const MilterSession &) = delete;

  std::pmr::memory_resource *allocator;
  // Bytes read and not yet consumed start at input_start; the space before it
  // is reclaimed when more bytes arrive.
  std::pmr::vector<char> input;
  std::size_t input_start = 0;
  std::optional<std::uint32_t> pending_length; // length field of the packet at the head

  // Connection-level macro values.
  OptionalText client_addr;
  OptionalText client_name;
  OptionalText daemon_name;
  OptionalText auth_type;

  MessageContext message;
  OptionalText helo_name;
  std::uint64_t listener_index;
  SessionLimits limits;
  OptionalText connect_address; // from the last 'C'
  OutputQueue output;
  int socket;
  std::uint32_t actions = 0;        // negotiated
  std::uint32_t protocol_flags = 0; // negotiated
  PeerLabel peer_label;
  char client_family = 'U'; // '4', '6', 'L' or 'U'
  bool write_pending = false;
};

// Ends the current message: releases its macro values, headers (keeping a
// modest list capacity), envelope and recipients, resets the scratch arena,
// clears the header counters. Connection-level values survive.
void reset_message(MilterSession &session) noexcept;

// daemon_name (or "unknown") and the peer label (or "local"), shown in log
// lines as name[label].
struct PeerDescription {
  std::string_view name;
  std::string_view label;
};
PeerDescription describe_peer(const MilterSession &session) noexcept;

// The client address a summary or event names: the client_addr macro when it
// is set and not empty, else the address of the connect command; empty when
// neither.
std::string_view client_address(const MilterSession &session) noexcept;

// The label of an accepted peer's address: dotted decimal for IPv4, the
// RFC 5952 text for IPv6 (no port), "local" for unix-domain and other
// families, "unknown" when it cannot be formed.
PeerLabel peer_label_for(const void *address, std::size_t length) noexcept;

} // namespace corvane::milter
