// End of message as the MTA meets it: a real worker with the daemon's hook
// table, the scriptable DNS server, the test client; every packet byte for
// byte and in order, and every log line of the message.
#include "core/wyhash.hpp"
#include "milter/output_queue.hpp"
#include "support/dns_server.hpp"
#include "support/listener_config.hpp"
#include "support/stderr_capture.hpp"
#include "unit/filter/filter_daemon.hpp"

#include <gtest/gtest.h>

namespace corvane::test {
namespace {

using config::Enforcement;
using Header = std::pair<std::string, std::string>;
using DnsRecords = std::vector<std::pair<std::string, std::string>>;

const std::string k_authserv_id = "mx.example.net";
const std::string k_result = "Authentication-Results";
const std::string k_tag = "X-Corvane-Disposition";
const std::string k_long_id = "inbound-relay-07a.mail-exchangers.frankfurt.bank.example.net";
const std::string k_long_domain = "mail-gateway.regional-office.subsidiary.bank.example";
// A domain with a quote, a backslash, a per cent sign, a control byte and a
// space: none of it may break the result header or the SMTP reply.
const std::string k_odd_domain = "b\"a\\k%\x01 x.example";
const Header k_from{"From", "Alice <alice@bank.example>"};

Header auth_results(const std::string &value) { return {k_result, value}; }
Header arc_results(const std::string &value) { return {"ARC-Authentication-Results", value}; }

// The daemon's result header: the authserv-id, ";", a fold, the entry.
MilterPacket result(const std::string &entry) {
  return insert_header(k_result, k_authserv_id + ";\n\t" + entry);
}
MilterPacket fail_under(const std::string &policy) {
  return result("dmarc=fail (p=" + policy + ") header.from=bank.example");
}
const MilterPacket k_pass = result("dmarc=pass (p=reject) header.from=bank.example");
const MilterPacket k_tagged = insert_header(k_tag, "quarantine");
const MilterPacket k_rejected = rejection("rejected by DMARC policy for bank.example");

std::string summary(const std::string &domain,
                    const std::string &head = "id=4QTEST01 peer=test-mta[127.0.0.1] "
                                              "client=192.0.2.10") {
  return head + " domain=" + domain + " elapsed=Nms";
}
std::string rejecting(const std::string &domain) {
  return "dmarc: " + domain + ": fail under p=reject, rejecting at SMTP time";
}
std::string tagged(const std::string &policy, const std::string &tag = k_tag) {
  return "dmarc: bank.example: fail under p=" + policy + ", tagged " + tag + " for the LDA";
}
std::string downgraded(const std::string &sealer) {
  return "dmarc: bank.example: fail under p=reject downgraded to quarantine by trusted ARC "
         "sealer " +
         sealer;
}
std::string deferring(const std::string &error) {
  return "deferring: could not record the dmarc result (" + error +
         "); delivering without it would misrepresent what was checked";
}

// A Message-ID on one side of pct=50.
std::string message_id(bool sampled, int skip = 0) {
  for (int n = 0;; ++n) {
    const std::string id = "<" + std::to_string(n) + ".pct@bank.example>";
    if ((wyhash(id, 0) % 100 < 50) == sampled && skip-- == 0) return id;
  }
}

HeaderList with_from(HeaderList more) {
  more.insert(more.begin(), k_from);
  return more;
}

struct Row {
  std::string name{};
  Enforcement enforcement = Enforcement::none;
  std::function<void(config::Config &)> configure{};
  TestMessage message{};
  DnsRecords records{{"_dmarc.bank.example", "v=DMARC1; p=reject"}};
  Replies expected{};
  std::vector<std::string> log{};
  bool no_dns = false; // the outcome is reached without a DNS query
};

// Five Authentication-Results headers: the first, third and fourth are
// forged; the second claims the authserv-id with an spf result only; the
// fifth names another host.
const HeaderList k_forged_results{
    k_from,
    auth_results("mx.example.net; spf=pass smtp.mailfrom=bank.example; dmarc=pass "
                 "header.from=bank.example"),
    auth_results("MX.EXAMPLE.NET; spf=fail smtp.mailfrom=bank.example"),
    auth_results("mx.example.net 1; DMARC=fail"),
    auth_results(" \t mx.example.net;dkim=pass header.d=bank.example;dmarc=none"),
    auth_results("mx.example.net.evil; dmarc=pass; spf=pass smtp.mailfrom=bank.example"),
};

const HeaderList k_vouched{
    k_from,
    auth_results("mx.example.net; arc=pass"),
    arc_results("i=1; sealer.example; dkim=pass header.d=bank.example"),
};

std::vector<Row> rows() {
  const std::string spf_pass = "mx.example.net; spf=pass smtp.mailfrom=bank.example";
  std::string twelve_dkim = "mx.example.net; ";
  std::string tenth_passes = "mx.example.net; ";
  for (int i = 1; i <= 12; ++i) {
    twelve_dkim +=
        i <= 10 ? "dkim=fail header.d=bank.example; " : "dkim=pass header.d=bank.example; ";
    tenth_passes +=
        i == 10 ? "dkim=pass header.d=bank.example; " : "dkim=fail header.d=bank.example; ";
  }
  const std::string cap_warning =
      "more than 10 DKIM results in Authentication-Results; evaluating the first 10";
  const DnsRecords quarantine_record{{"_dmarc.bank.example", "v=DMARC1; p=quarantine"}};
  const DnsRecords sampled_record{{"_dmarc.bank.example", "v=DMARC1; p=reject; pct=50"}};
  const auto apply_pct = [](config::Config &config) { config.apply_pct = true; };

  return {
      // Forged result headers.
      {.name = "forged results are deleted from the last to the first and never read",
       .message = {.headers = k_forged_results},
       .expected = {delete_header(4, k_result), delete_header(3, k_result),
                    delete_header(1, k_result), fail_under("reject"), reply('c')},
       .log = {"removed 3 forged Authentication-Results header(s) claiming authserv-id "
               "mx.example.net",
               summary("bank.example")}},
      {.name = "without SMFIF_CHGHDRS forged results stay and are read",
       .message = {.actions = 0x01, .headers = k_forged_results},
       .expected = {k_pass, reply('c')},
       .log = {"cannot remove 3 forged Authentication-Results header(s) claiming authserv-id "
               "mx.example.net: MTA did not grant SMFIF_CHGHDRS",
               summary("bank.example")}},
      {.name = "StripAuthResults deletes every header claiming the authserv-id",
       .configure = [](config::Config &config) { config.strip_auth_results = true; },
       .message = {.headers = k_forged_results},
       .expected = {delete_header(4, k_result), delete_header(3, k_result),
                    delete_header(2, k_result), delete_header(1, k_result), fail_under("reject"),
                    reply('c')},
       .log = {"removed 4 forged Authentication-Results header(s) claiming authserv-id "
               "mx.example.net",
               summary("bank.example")}},

      // The result header's value.
      {.name = "a long Author Domain moves to a line of its own",
       .message = {.headers = {{"From", "<a@" + k_long_domain + ">"}}},
       .records = {{"_dmarc." + k_long_domain, "v=DMARC1; p=none"}},
       .expected = {insert_header(k_result,
                                  "mx.example.net;\n\tdmarc=fail (p=none)\n\theader.from=" +
                                      k_long_domain),
                    reply('c')},
       .log = {summary(k_long_domain)}},
      {.name = "a 60-character authserv-id starts the value with a fold",
       .configure = [](config::Config &config) { config.authserv_id = k_long_id; },
       .message = {.headers = {k_from,
                               auth_results(k_long_id + "; spf=pass smtp.mailfrom=bank.example")}},
       .expected = {insert_header(k_result,
                                  "\n\t" + k_long_id +
                                      ";\n\tdmarc=pass (p=reject) header.from=bank.example"),
                    reply('c')},
       .log = {summary("bank.example")}},
      {.name = "an odd Author Domain is quoted and escaped, and made safe in the rejection",
       .enforcement = Enforcement::reject,
       .message = {.headers = {{"From", "<a@" + k_odd_domain + ">"}}},
       .records = {{"_dmarc." + k_odd_domain, "v=DMARC1; p=reject"}},
       .expected = {result("dmarc=fail (p=reject) header.from=\"b\\\"a\\\\k%? x.example\""),
                    rejection("rejected by DMARC policy for b\"a\\k%%??x.example")},
       .log = {"dmarc: b\"a\\k%_ x.example: fail under p=reject, rejecting at SMTP time",
               summary("b\"a\\k%__x.example")}},

      // Quarantine and rejection.
      {.name = "deleted results, the result header, deleted tags, then the tag",
       .enforcement = Enforcement::quarantine,
       .message = {.headers = {k_from,
                               {k_tag, "quarantine"},
                               auth_results("mx.example.net; dmarc=pass"),
                               {"x-corvane-disposition", "none"}}},
       .records = quarantine_record,
       .expected = {delete_header(1, k_result), fail_under("quarantine"), delete_header(2, k_tag),
                    delete_header(1, k_tag), k_tagged, reply('c')},
       .log = {"removed 1 forged Authentication-Results header(s) claiming authserv-id "
               "mx.example.net",
               tagged("quarantine"), summary("bank.example")}},
      {.name = "a forged tag without SMFIF_CHGHDRS defers",
       .enforcement = Enforcement::quarantine,
       .message = {.actions = 0x01, .headers = {k_from, {"x-CORVANE-disposition", "quarantine"}}},
       .records = quarantine_record,
       .expected = {fail_under("quarantine"), reply('t')},
       .log = {"cannot tag for quarantine: forged X-Corvane-Disposition present and MTA did not "
               "grant SMFIF_CHGHDRS",
               deferring("CannotTag"), summary("bank.example")}},
      {.name = "p=reject on a quarantine listener is tagged, under a QuarantineHeader of its own",
       .enforcement = Enforcement::quarantine,
       .configure = [](config::Config &config) { config.quarantine_header = "X-Spam-Flag"; },
       .message = {.headers = {k_from, {k_tag, "x"}}},
       .expected = {fail_under("reject"), insert_header("X-Spam-Flag", "quarantine"), reply('c')},
       .log = {tagged("reject", "X-Spam-Flag"), summary("bank.example")}},
      {.name = "Enforcement none leaves a failing message its result header only",
       .message = {.headers = {k_from}},
       .expected = {fail_under("reject"), reply('c')},
       .log = {summary("bank.example")}},
      {.name = "a passing message on a reject listener goes on",
       .enforcement = Enforcement::reject,
       .message = {.headers = {k_from, auth_results(spf_pass)}},
       .expected = {k_pass, reply('c')},
       .log = {summary("bank.example")}},
      {.name = "a rejection is the reply-code packet alone",
       .enforcement = Enforcement::reject,
       .message = {.headers = {k_from}},
       .expected = {fail_under("reject"), k_rejected},
       .log = {rejecting("bank.example"), summary("bank.example")}},
      {.name = "a RejectText of its own",
       .enforcement = Enforcement::reject,
       .configure =
           [](config::Config &config) {
             config.reject_text = "mail from %s is refused (50% of %s)";
           },
       .message = {.headers = {k_from}},
       .expected = {fail_under("reject"),
                    rejection("mail from bank.example is refused (50%% of bank.example)")},
       .log = {rejecting("bank.example"), summary("bank.example")}},

      // The summary line.
      {.name = "no queue id and no daemon_name",
       .message = {.daemon_name = std::nullopt, .queue_id = std::nullopt, .headers = {k_from}},
       .expected = {fail_under("reject"), reply('c')},
       .log = {summary("bank.example", "id=- peer=unknown[127.0.0.1] client=192.0.2.10")}},
      {.name = "an empty client_addr gives way to the connect address; fields made safe",
       .message = {.daemon_name = "test mta",
                   .queue_id = "4Q\tTEST",
                   .client_addr = "",
                   .connect = {.address = "198.51.100.7"},
                   .headers = {k_from}},
       .expected = {fail_under("reject"), reply('c')},
       .log = {summary("bank.example", "id=4Q_TEST peer=test_mta[127.0.0.1] client=198.51.100.7")}},
      {.name = "no client address at all and no From header",
       .message = {.client_addr = std::nullopt,
                   .connect = {.family = 'U'},
                   .headers = {{"Subject", "no author"}}},
       .expected = {result("dmarc=none (no From header)"), reply('c')},
       .log = {summary("unknown", "id=4QTEST01 peer=test-mta[127.0.0.1] client=unknown")},
       .no_dns = true},
      {.name = "a From value short enough to fit inside a string object names the summary's domain",
       .message = {.headers = {{"From", "a@b.example"}}},
       .records = {{"_dmarc.b.example", "v=DMARC1; p=reject"}},
       .expected = {result("dmarc=fail (p=reject) header.from=b.example"), reply('c')},
       .log = {summary("b.example")}},

      // What upstream verifiers said.
      {.name = "only the configured authserv-id is trusted",
       .message = {.headers = {k_from,
                               auth_results("relay.example; dkim=pass header.d=bank.example; "
                                            "spf=pass smtp.mailfrom=bank.example"),
                               auth_results(
                                   "mx.example.net; spf=fail smtp.mailfrom=bank.example")}},
       .expected = {fail_under("reject"), reply('c')},
       .log = {summary("bank.example")}},
      {.name = "comments and quoted strings do not split upstream entries",
       .message = {.headers = {k_from,
                               auth_results("mx.example.net (primary; v=2); dkim=pass "
                                            "(note \"x;spf=fail\") header.d=bank.example")}},
       .expected = {k_pass, reply('c')},
       .log = {summary("bank.example")}},
      {.name = "twelve dkim entries: the eleventh and twelfth take no part",
       .message = {.headers = {k_from, auth_results(twelve_dkim)}},
       .expected = {fail_under("reject"), reply('c')},
       .log = {cap_warning, summary("bank.example")}},
      {.name = "twelve dkim entries: the tenth takes part",
       .message = {.headers = {k_from, auth_results(tenth_passes)}},
       .expected = {k_pass, reply('c')},
       .log = {cap_warning, summary("bank.example")}},
      {.name = "a dkim pass made with a testing key never passes",
       .message = {.headers = {k_from,
                               auth_results("mx.example.net; dkim=pass header.d=bank.example "
                                            "policy.dkim-rules=testing-key")}},
       .expected = {fail_under("reject"), reply('c')},
       .log = {summary("bank.example")}},

      // The From and MAIL FROM identities.
      {.name = "a comment is no part of the From address",
       .message = {.sender = "<bounce@bank.example>",
                   .headers = {{"From", "alice@bank.example (Alice)"}, auth_results(spf_pass)}},
       .expected = {k_pass, reply('c')},
       .log = {summary("bank.example")}},
      {.name = "two comma-separated addresses in one From header",
       .message = {.headers = {{"From", "victim@bank.example, attacker@evil.example"},
                               auth_results(spf_pass)}},
       .expected = {result("dmarc=fail (multiple From addresses)"), reply('c')},
       .log = {summary("evil.example")},
       .no_dns = true},
      {.name = "two bracketed addresses in one From header",
       .message = {.headers = {{"From", "<victim@bank.example> <attacker@evil.example>"}}},
       .expected = {result("dmarc=fail (multiple From addresses)"), reply('c')},
       .log = {summary("evil.example")},
       .no_dns = true},
      {.name = "a list inside the angle brackets",
       .message = {.headers = {{"From", "<victim@bank.example, attacker@evil.example>"}}},
       .expected = {result("dmarc=fail (multiple From addresses)"), reply('c')},
       .log = {summary("evil.example")},
       .no_dns = true},
      {.name = "a source route is one address",
       .message = {.headers = {{"From", "Alice <@relay.example:alice@bank.example>"},
                               auth_results(spf_pass)}},
       .expected = {k_pass, reply('c')},
       .log = {summary("bank.example")}},
      {.name = "two From headers",
       .message = {.headers = {{"From", "alice@bank.example"}, {"from", "attacker@evil.example"}}},
       .expected = {result("dmarc=fail (multiple From header fields)"), reply('c')},
       .log = {summary("unknown")},
       .no_dns = true},
      {.name = "the null sender never aligns SPF",
       .message = {.sender = "<>", .headers = {k_from, auth_results(spf_pass)}},
       .expected = {fail_under("reject"), reply('c')},
       .log = {summary("bank.example")}},

      // Trusted ARC sealers.
      {.name = "a sealer's dkim pass turns the rejection into a quarantine",
       .enforcement = Enforcement::reject,
       .message = {.headers = k_vouched},
       .expected = {fail_under("reject"), k_tagged, reply('c')},
       .log = {downgraded("sealer.example"), summary("bank.example")}},
      {.name = "a sealer's dmarc pass vouches",
       .enforcement = Enforcement::reject,
       .message = {.headers = {k_from, auth_results("mx.example.net; arc=pass"),
                               arc_results("i=2; Sealer.Example; dmarc=pass "
                                           "header.from=bank.example")}},
       .expected = {fail_under("reject"), k_tagged, reply('c')},
       .log = {downgraded("Sealer.Example"), summary("bank.example")}},
      {.name = "a sealer's spf pass vouches",
       .enforcement = Enforcement::reject,
       .message = {.headers = {k_from, auth_results("mx.example.net; arc=pass"),
                               arc_results("i=1; sealer.example; spf=pass "
                                           "smtp.mailfrom=bounce@bank.example")}},
       .expected = {fail_under("reject"), k_tagged, reply('c')},
       .log = {downgraded("sealer.example"), summary("bank.example")}},
      {.name = "a sealer's pass for a subdomain does not vouch",
       .enforcement = Enforcement::reject,
       .message = {.headers = {k_from, auth_results("mx.example.net; arc=pass"),
                               arc_results("i=1; sealer.example; dkim=pass "
                                           "header.d=mail.bank.example")}},
       .expected = {fail_under("reject"), k_rejected},
       .log = {rejecting("bank.example"), summary("bank.example")}},
      {.name = "arc=fail upstream: no sealer vouches",
       .enforcement = Enforcement::reject,
       .message = {.headers = {k_from, auth_results("mx.example.net; arc=fail"), k_vouched[2]}},
       .expected = {fail_under("reject"), k_rejected},
       .log = {rejecting("bank.example"), summary("bank.example")}},
      {.name = "a quarantine listener never asks the sealers",
       .enforcement = Enforcement::quarantine,
       .message = {.headers = k_vouched},
       .expected = {fail_under("reject"), k_tagged, reply('c')},
       .log = {tagged("reject"), summary("bank.example")}},
      {.name = "a voucher for a message under p=quarantine",
       .enforcement = Enforcement::reject,
       .message = {.headers = k_vouched},
       .records = quarantine_record,
       .expected = {fail_under("quarantine"), k_tagged, reply('c')},
       .log = {tagged("quarantine"), summary("bank.example")}},

      // pct sampling by Message-ID.
      {.name = "a Message-ID inside the sample",
       .enforcement = Enforcement::reject,
       .configure = apply_pct,
       .message = {.headers = with_from({{"Message-ID", " " + message_id(true) + "\t"}})},
       .records = sampled_record,
       .expected = {fail_under("reject"), k_rejected},
       .log = {rejecting("bank.example"), summary("bank.example")}},
      {.name = "a Message-ID outside the sample steps the policy down",
       .enforcement = Enforcement::reject,
       .configure = apply_pct,
       .message = {.headers = with_from({{"Message-ID", " " + message_id(false) + "\t"}})},
       .records = sampled_record,
       .expected = {fail_under("quarantine"), k_tagged, reply('c')},
       .log = {tagged("quarantine"), summary("bank.example")}},
      {.name = "two Message-IDs are none",
       .enforcement = Enforcement::reject,
       .configure = apply_pct,
       .message = {.headers = with_from(
                       {{"Message-ID", message_id(false)}, {"message-id", message_id(false, 1)}})},
       .records = sampled_record,
       .expected = {fail_under("reject"), k_rejected},
       .log = {rejecting("bank.example"), summary("bank.example")}},
      {.name = "ApplyPct off: no sampling",
       .enforcement = Enforcement::reject,
       .message = {.headers = with_from({{"Message-ID", message_id(false)}})},
       .records = sampled_record,
       .expected = {fail_under("reject"), k_rejected},
       .log = {rejecting("bank.example"), summary("bank.example")}},

      // The evaluation deadline.
      {.name = "MaxEvaluationMs 0 sets no deadline",
       .configure = [](config::Config &config) { config.max_evaluation_ms = 0; },
       .message = {.headers = {k_from, auth_results("mx.example.net; dkim=pass "
                                                    "header.d=news.bank.example")}},
       .expected = {k_pass, reply('c')},
       .log = {summary("bank.example")}},
      {.name = "a negative MaxEvaluationMs is past at once",
       .configure = [](config::Config &config) { config.max_evaluation_ms = -1; },
       .message = {.headers = {k_from}},
       .expected = {result("dmarc=temperror (evaluation deadline exceeded)"), reply('c')},
       .log = {"dmarc: evaluation deadline exceeded before policy discovery",
               summary("bank.example")},
       .no_dns = true},
  };
}

config::Config configuration(Enforcement enforcement) {
  config::Config config;
  config.authserv_id = k_authserv_id;
  config.listeners = {loopback_listener(enforcement)};
  return config;
}

TEST(EndOfMessage, WhatTheMtaReceives) {
  const daemon::ReferenceData reference = with_trusted_sealer("sealer.example");
  ASSERT_EQ(reference.trusted_sealers.ids.size(), 1u);
  for (const Row &row : rows()) {
    SCOPED_TRACE(row.name);
    DnsServer dns;
    for (const auto &[name, text] : row.records)
      dns.answer(name, txt_answer({text}));
    config::Config config = configuration(row.enforcement);
    if (row.configure) row.configure(config);
    const FilterDaemon daemon(config, reference, dns.port());
    Replies answer;
    std::string captured;
    {
      const StderrCapture capture;
      answer = deliver(daemon, row.message);
      captured = capture.text();
    }
    EXPECT_EQ(reply_codes(answer), reply_codes(row.expected));
    EXPECT_EQ(answer, row.expected);
    EXPECT_EQ(log_messages(captured), row.log);
    if (row.no_dns) {
      EXPECT_EQ(dns.query_count(), 0u);
    }
  }
}

// An MTA that stops reading leaves the filter's replies in its output queue.
// A preceding hook stands for what such an MTA left unread: a progress packet
// fills the queue to one byte short of room for the result header, while a
// 't' still fits. The message is deferred rather than passed on without it.
TEST(EndOfMessage, DefersWhenTheResultHeaderFindsTheOutputQueueFull) {
  DnsServer dns;
  dns.answer("_dmarc.bank.example", txt_answer({"v=DMARC1; p=reject"}));
  const std::size_t result_packet = 5 + fail_under("reject").payload.size();
  const std::size_t unread = milter::k_max_unwritten_bytes - result_packet + 1;
  const FilterDaemon running(
      configuration(Enforcement::reject), daemon::ReferenceData(), dns.port(),
      [&](milter::MilterHooks &hooks) {
        hooks.eom = [&, eom = hooks.eom](milter::MilterSession &session) {
          const std::size_t filler = unread - session.output.unwritten();
          EXPECT_TRUE(session.output.queue_reply("p" + std::string(filler - 5, '.')));
          return eom(session);
        };
      });
  const StderrCapture capture;
  const Replies answer = deliver(running, {.headers = {k_from}});
  EXPECT_EQ(reply_codes(answer), "pt");
  EXPECT_EQ(log_messages(capture.text()),
            (std::vector<std::string>{deferring("OutputQueueFull"), summary("bank.example")}));
}

} // namespace
} // namespace corvane::test
