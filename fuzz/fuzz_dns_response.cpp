#include "dns/name.hpp"
#include "dns/response.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

// Replies come from the network: whatever the bytes, decoding must end with
// answers or an error, within the packet, with bounded names.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::span<const std::byte> packet(reinterpret_cast<const std::byte *>(data), size);
  auto parsed = corvane::dns::parse_response(std::pmr::new_delete_resource(), packet);
  if (parsed) {
    for (const auto &answer : parsed->answers)
      if (answer.name.size() > corvane::dns::k_max_name_bytes) std::abort();
  }
  // Names at every offset of a short packet, the way pointers reach them.
  for (std::size_t at = 0; at < size && at < 64; ++at) {
    corvane::dns::NameText name;
    if (corvane::dns::read_name(packet, at, name) && name.size() > corvane::dns::k_max_name_bytes)
      std::abort();
    auto end = corvane::dns::skip_name(packet, at);
    if (end && *end > size) std::abort();
  }
  return 0;
}
