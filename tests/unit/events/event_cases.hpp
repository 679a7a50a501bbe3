#pragma once

#include "events/evaluation_event.hpp"

#include <string>
#include <vector>

namespace corvane::test {

// Events as the message filter fills them and the exact records they make.
struct EventCase {
  std::string name;
  events::EvaluationEvent event;
  std::string json;
};

inline std::vector<EventCase> event_cases() {
  events::EvaluationEvent spf_only;
  spf_only.client_ip = "192.0.2.7";
  spf_only.header_from = "example.org";
  spf_only.from_address = "alice@example.org";
  spf_only.envelope_from = "mail.example.org";
  spf_only.policy = "reject";
  spf_only.disposition = "reject";
  spf_only.dmarc_result = "pass";
  spf_only.spf_result = "pass";
  spf_only.spf_aligned = true;
  spf_only.dkim_result = "none";

  events::EvaluationEvent dkim_fail;
  dkim_fail.client_ip = "2001:db8::25";
  dkim_fail.header_from = "bank.example";
  dkim_fail.from_address = "\"Bank\" <service@bank.example>";
  dkim_fail.policy = "quarantine";
  dkim_fail.disposition = "none";
  dkim_fail.dmarc_result = "fail";
  dkim_fail.spf_result = "softfail";
  dkim_fail.dkim_result = "fail";
  dkim_fail.dkim_domain = "attacker.example";

  events::EvaluationEvent quoted_word = dkim_fail;
  quoted_word.dkim_result = "pa\"ss";

  events::EvaluationEvent vouched_reject = dkim_fail;
  vouched_reject.policy = "reject";
  vouched_reject.disposition = "reject";
  vouched_reject.policy_override = true;

  events::EvaluationEvent vouched_quarantine = vouched_reject;
  vouched_quarantine.disposition = "quarantine";

  const std::string fail_head =
      R"({"client_ip":"2001:db8::25","header_from":"bank.example",)"
      R"("from_address":"\"Bank\" <service@bank.example>","envelope_from":"",)";
  const std::string fail_tail =
      R"("dmarc_result":"fail","spf_result":"softfail","spf_aligned":false,)";
  const std::string dkim_tail = R"("dkim_domain":"attacker.example","dkim_aligned":false)";
  return {
      {"pass_with_spf_only", spf_only,
       R"({"client_ip":"192.0.2.7","header_from":"example.org",)"
       R"("from_address":"alice@example.org","envelope_from":"mail.example.org",)"
       R"("policy":"reject","disposition":"reject","dmarc_result":"pass",)"
       R"("spf_result":"pass","spf_aligned":true,"dkim_result":"none",)"
       R"("dkim_domain":"","dkim_aligned":false})"},
      {"fail_with_dkim", dkim_fail,
       fail_head + R"("policy":"quarantine","disposition":"none",)" + fail_tail +
           R"("dkim_result":"fail",)" + dkim_tail + "}"},
      {"quoted_result_word", quoted_word,
       fail_head + R"("policy":"quarantine","disposition":"none",)" + fail_tail +
           R"("dkim_result":"pa\"ss",)" + dkim_tail + "}"},
      {"vouched_reject", vouched_reject,
       fail_head + R"("policy":"reject","disposition":"reject",)" + fail_tail +
           R"("dkim_result":"fail",)" + dkim_tail + R"(,"policy_override":"trusted_forwarder"})"},
      {"vouched_quarantine", vouched_quarantine,
       fail_head + R"("policy":"reject","disposition":"quarantine",)" + fail_tail +
           R"("dkim_result":"fail",)" + dkim_tail + R"(,"policy_override":"trusted_forwarder"})"},
  };
}

} // namespace corvane::test
