#pragma once

#include <string_view>

namespace corvane::events {

// What one fully evaluated message is reported as. The views point into the
// message's own data and need to live only until publish_event returns.
struct EvaluationEvent {
  std::string_view client_ip;     // empty when the MTA gave none
  std::string_view header_from;   // the Author Domain
  std::string_view from_address;  // the From address
  std::string_view envelope_from; // the MAIL FROM domain; empty when none
  std::string_view policy;        // the requested policy word
  std::string_view disposition;   // the effective policy word
  std::string_view dmarc_result;  // "pass" or "fail"
  std::string_view spf_result;    // "none" when the trusted headers had none
  bool spf_aligned = false;
  std::string_view dkim_result; // "none" when there is no identifier or it has no result
  std::string_view dkim_domain; // empty when none
  bool dkim_aligned = false;
  // A trusted ARC sealer vouched for the message: the record gains the
  // policy_override key with the value "trusted_forwarder".
  bool policy_override = false;
};

} // namespace corvane::events
