#include "milter/session.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace corvane::milter {

namespace {

// A message with more headers than this leaves the list's storage behind
// with the message instead of keeping it for the rest of the connection, so
// an idle connection stays small.
constexpr std::size_t k_kept_header_capacity = 64;
constexpr std::size_t k_kept_recipient_capacity = 64;

template <typename List> void clear_keeping_modest_capacity(List &list, std::size_t kept) {
  list.clear();
  if (list.capacity() > kept) List(list.get_allocator()).swap(list);
}

} // namespace

bool assign_text(OptionalText &field, std::string_view value,
                 std::pmr::memory_resource *allocator) noexcept {
  field.reset();
  try {
    field.emplace(value, allocator);
    return true;
  } catch (const std::bad_alloc &) {
    field.reset();
    return false;
  }
}

PeerLabel::PeerLabel(std::string_view text) noexcept {
  length_ = static_cast<std::uint8_t>(std::min(text.size(), bytes_.size()));
  std::memcpy(bytes_.data(), text.data(), length_);
}

void reset_message(MilterSession &session) noexcept {
  MessageContext &message = session.message;
  message.mail_addr.reset();
  message.rcpt_addr.reset();
  message.queue_id.reset();
  clear_keeping_modest_capacity(message.headers, k_kept_header_capacity);
  message.envelope_sender.reset();
  clear_keeping_modest_capacity(message.recipients, k_kept_recipient_capacity);
  message.scratch.release();
  message.header_bytes = 0;
  message.header_limit_reached = false;
}

PeerDescription describe_peer(const MilterSession &session) noexcept {
  const std::string_view label = session.peer_label.view();
  return {text_or(session.daemon_name, "unknown"), label.empty() ? "local" : label};
}

std::string_view client_address(const MilterSession &session) noexcept {
  if (session.client_addr && !session.client_addr->empty()) return *session.client_addr;
  if (session.connect_address) return *session.connect_address;
  return {};
}

PeerLabel peer_label_for(const void *address, std::size_t length) noexcept {
  if (address == nullptr || length < sizeof(sa_family_t)) return PeerLabel("unknown");
  sockaddr_storage storage{};
  std::memcpy(&storage, address, std::min(length, sizeof(storage)));
  char text[INET6_ADDRSTRLEN] = {};
  switch (storage.ss_family) {
  case AF_INET: {
    if (length < sizeof(sockaddr_in)) return PeerLabel("unknown");
    const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(&storage);
    if (::inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof(text)) == nullptr)
      return PeerLabel("unknown");
    return PeerLabel(text);
  }
  case AF_INET6: {
    if (length < sizeof(sockaddr_in6)) return PeerLabel("unknown");
    const auto *ipv6 = reinterpret_cast<const sockaddr_in6 *>(&storage);
    if (::inet_ntop(AF_INET6, &ipv6->sin6_addr, text, sizeof(text)) == nullptr)
      return PeerLabel("unknown");
    return PeerLabel(text);
  }
  default: return PeerLabel("local");
  }
}

} // namespace corvane::milter
