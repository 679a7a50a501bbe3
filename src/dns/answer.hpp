#pragma once

#include "core/result.hpp"

#include <cstdint>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::dns {

inline constexpr std::uint16_t k_type_txt = 16;

// One answer record of a reply, owned by the list that holds it.
struct DnsAnswer {
  using allocator_type = std::pmr::polymorphic_allocator<char>;

  DnsAnswer() = default;
  explicit DnsAnswer(const allocator_type &allocator) : name(allocator), data(allocator) {}
  DnsAnswer(const DnsAnswer &other, const allocator_type &allocator)
      : name(other.name, allocator), data(other.data, allocator), ttl(other.ttl), type(other.type) {
  }
  DnsAnswer(DnsAnswer &&other, const allocator_type &allocator)
      : name(std::move(other.name), allocator), data(std::move(other.data), allocator),
        ttl(other.ttl), type(other.type) {}
  DnsAnswer(const DnsAnswer &) = default;
  DnsAnswer(DnsAnswer &&) = default;
  DnsAnswer &operator=(const DnsAnswer &) = default;
  DnsAnswer &operator=(DnsAnswer &&) = default;

  std::pmr::string name; // owner, dotted, no trailing dot; the root is empty
  std::pmr::string data; // TXT: the character-strings joined
  std::uint32_t ttl = 0;
  std::uint16_t type = 0;
};

using AnswerList = std::pmr::vector<DnsAnswer>;

// The one lookup the DMARC engine makes. The resolver implements it; tests
// script it. `deadline_ms` is the evaluation's deadline in wall-clock
// milliseconds (k_no_deadline for none): nothing is sent after it, no wait
// reaches past it, and a lookup it cuts short fails with DnsTimeout.
// Errors: DnsNameError, DnsServerFailure, DnsTimeout, DnsNoHealthyServers, the
// name and packet errors of the codec, socket errors, OutOfMemory.
class TxtLookup {
public:
  virtual ~TxtLookup() = default;
  virtual Result<AnswerList> lookup_txt(std::string_view query_name, std::int64_t deadline_ms) = 0;
};

} // namespace corvane::dns
