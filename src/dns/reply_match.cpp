#include "dns/reply_match.hpp"

#include "core/ascii.hpp"
#include "dns/name.hpp"
#include "dns/response.hpp"
#include "dns/wire.hpp"

#include <algorithm>
#include <array>

namespace corvane::dns {

namespace {

constexpr std::size_t k_max_cname_hops = 16;

// The question of a query made by build_query: its QNAME, QTYPE and QCLASS
// bytes, which follow the header; empty when there is none.
std::span<const std::byte> question_of(std::span<const std::byte> query) noexcept {
  if (query.size() < k_header_size || wire_u16(query, 4) != 1) return {};
  std::size_t end = k_header_size;
  while (end < query.size() && wire_u8(query, end) != 0)
    end += 1 + std::size_t{wire_u8(query, end)};
  end += 1 + 4; // the zero byte, QTYPE, QCLASS
  if (end > query.size()) return {};
  return query.subspan(k_header_size, end - k_header_size);
}

// Labels compare without regard to ASCII case; the length bytes (at most 63)
// are no letters, so they compare exactly, and so do QTYPE and QCLASS.
bool same_question(std::span<const std::byte> asked, std::span<const std::byte> got) noexcept {
  const std::size_t name_size = asked.size() - 4;
  for (std::size_t i = 0; i < name_size; ++i)
    if (ascii_lower(static_cast<char>(asked[i])) != ascii_lower(static_cast<char>(got[i])))
      return false;
  return std::equal(asked.begin() + static_cast<std::ptrdiff_t>(name_size), asked.end(),
                    got.begin() + static_cast<std::ptrdiff_t>(name_size));
}

// The names whose records answer the question: the query name, then each
// CNAME target in turn.
class OwnerChain {
public:
  explicit OwnerChain(std::string_view query_name) noexcept {
    if (names_[0].assign(without_outer_dots(query_name))) count_ = 1;
  }

  void follow(const AnswerList &answers) noexcept {
    while (count_ > 0 && count_ <= k_max_cname_hops) {
      const std::string_view last = names_[count_ - 1].view();
      const auto next = std::find_if(answers.begin(), answers.end(), [&](const DnsAnswer &a) {
        return a.type == k_type_cname && ascii_iequal(a.name, last);
      });
      if (next == answers.end() || holds(next->data)) return; // the end, or a loop
      if (!names_[count_].assign(next->data)) return;
      ++count_;
    }
  }

  bool holds(std::string_view name) const noexcept {
    for (std::size_t i = 0; i < count_; ++i)
      if (ascii_iequal(names_[i].view(), name)) return true;
    return false;
  }

private:
  // Copies, not views: the answers move while the foreign ones are dropped.
  std::array<NameText, k_max_cname_hops + 1> names_;
  std::size_t count_ = 0;
};

} // namespace

bool answers_query(std::span<const std::byte> query, std::span<const std::byte> reply) noexcept {
  if (reply.size() < k_header_size || query.size() < k_header_size) return false;
  if (wire_u16(reply, 0) != wire_u16(query, 0)) return false;
  if ((wire_u16(reply, 2) & k_flag_qr) == 0) return false;
  const std::uint16_t question_count = wire_u16(reply, 4);
  if (question_count == 0) return true;
  if (question_count != 1) return false;
  const auto asked = question_of(query);
  if (asked.empty() || reply.size() - k_header_size < asked.size()) return false;
  return same_question(asked, reply.subspan(k_header_size, asked.size()));
}

void keep_answers_to(std::string_view query_name, AnswerList &answers) {
  OwnerChain chain(query_name);
  chain.follow(answers);
  std::erase_if(answers, [&](const DnsAnswer &answer) { return !chain.holds(answer.name); });
}

} // namespace corvane::dns
