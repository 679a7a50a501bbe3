#include "dmarc/public_suffix_list.hpp"
#include "filter/end_of_message.hpp"
#include "filter/trusted_sealers.hpp"
#include "log/log.hpp"
#include "milter/connection_owner.hpp"
#include "milter/dispatch.hpp"
#include "milter/packet.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

// What an MTA sends is untrusted: whatever the byte stream, the engine and
// the filter behind it must answer, close, or wait for more — never crash,
// hang, over-read, or hold more than the limits allow. The stream goes into a
// real session whose replies go to a socket pair; end of message runs the
// whole evaluation against names answered from memory.

namespace {

using namespace corvane;

// Answers from memory: a policy record for the demo domains, no such name
// for everything else.
class MemoryLookup final : public dns::TxtLookup {
public:
  Result<dns::AnswerList> lookup_txt(std::string_view name, std::int64_t) override {
    dns::AnswerList answers(std::pmr::new_delete_resource());
    const bool known = name == "_dmarc.example.org" || name == "_dmarc.example.com";
    if (!known) return Error::DnsNameError;
    dns::DnsAnswer answer(std::pmr::new_delete_resource());
    answer.name = name;
    answer.type = dns::k_type_txt;
    answer.ttl = 300;
    answer.data = name == "_dmarc.example.org" ? "v=DMARC1; p=reject; sp=quarantine"
                                               : "v=DMARC1; p=quarantine; t=y; pct=50";
    answers.push_back(std::move(answer));
    return answers;
  }
};

MemoryLookup g_lookup;
dns::TxtLookup &memory_lookup() { return g_lookup; }

const filter::TrustedSealers &sealers() {
  static const filter::TrustedSealers list = [] {
    auto parsed =
        filter::parse_trusted_sealers("arc.example.net\n", std::pmr::new_delete_resource());
    return parsed ? std::move(*parsed) : filter::TrustedSealers();
  }();
  return list;
}

filter::FilterSettings settings(bool strip) {
  filter::FilterSettings settings;
  settings.authserv_id = "mx.example.net";
  settings.strip_auth_results = strip;
  settings.enforcement = {dmarc::PolicyAction::reject, dmarc::PolicyAction::quarantine};
  settings.apply_pct = true;
  settings.sealers = &sealers();
  settings.resolver = &memory_lookup;
  return settings;
}

// Owns the one session of an input; closing it frees the session.
class FuzzOwner final : public milter::ConnectionOwner {
public:
  explicit FuzzOwner(const filter::FilterSettings &filter) {
    hooks_.eom = [&filter](milter::MilterSession &session) {
      return filter::handle_end_of_message(session, filter);
    };
  }
  const milter::MilterHooks &hooks() const noexcept override { return hooks_; }
  bool close_connection(int socket) noexcept override {
    if (!session || session->socket != socket) return false;
    session.reset();
    return true;
  }
  void queue_write_interest(int) noexcept override {}

  std::unique_ptr<milter::MilterSession> session;

private:
  milter::MilterHooks hooks_;
};

// The peer reads what the filter wrote, so the output queue keeps moving.
void drain(int fd) {
  char sink[65536];
  while (::recv(fd, sink, sizeof(sink), MSG_DONTWAIT) > 0) {
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const bool quiet = [] {
    log::LogSettings silent = log::initial_log_settings();
    silent.level = 0;
    log::install_log_settings(silent);
    return true;
  }();
  (void)quiet;
  if (size < 2) return 0;
  // The first byte shapes the run: read chunk size, header limits, strip mode.
  const std::uint8_t shape = data[0];
  const filter::FilterSettings filter = settings((shape & 0x80) != 0);
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends) != 0) std::abort();
  FuzzOwner owner(filter);
  milter::SessionLimits limits;
  limits.max_headers = (shape & 0x01) != 0 ? 4 : 500;
  limits.max_header_bytes = (shape & 0x02) != 0 ? 200 : 1'048'576;
  owner.session = std::make_unique<milter::MilterSession>(ends[0], shape & 0x04 ? 1 : 0, limits,
                                                          milter::PeerLabel("fuzz"),
                                                          std::pmr::new_delete_resource());
  const std::size_t chunk = std::size_t{1} << (4 + (shape >> 4 & 0x07)); // 16 .. 2048 bytes
  std::size_t at = 1;
  while (at < size && owner.session) {
    const std::size_t take = std::min(chunk, size - at);
    if (!milter::append_input(*owner.session,
                              std::span(reinterpret_cast<const char *>(data) + at, take)))
      break;
    at += take;
    if (!milter::dispatch_ready_packets(owner, *owner.session)) break;
    drain(ends[1]);
  }
  // Nothing the engine holds may exceed its limits.
  if (owner.session) {
    if (owner.session->output.unwritten() > milter::k_max_unwritten_bytes) std::abort();
    if (owner.session->input.size() > milter::k_max_packet_bytes + 4 + chunk) std::abort();
  }
  owner.session.reset();
  ::close(ends[0]);
  ::close(ends[1]);
  return 0;
}
