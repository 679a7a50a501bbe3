#include "check/usage.hpp"

namespace corvane::check {

namespace {

// The dash before "the verdict" is an em dash, written as its UTF-8 bytes.
constexpr char k_text[] =
    "Usage: corvane-check [options]\n"
    "\n"
    "Evaluate DMARC for a set of authenticated identifiers and print the\n"
    "outcome as key=value lines on stdout.\n"
    "\n"
    "Options:\n"
    "  --from <domain>         Author Domain (RFC5322.From). Required.\n"
    "  --mailfrom <domain>     RFC5321.MailFrom domain (the SPF identifier)\n"
    "  --spf <result>          SPF result: pass, fail, none, ... (default: none)\n"
    "  --dkim <domain>         DKIM-Authenticated Identifier (the d= value)\n"
    "  --dkim-result <result>  DKIM result: pass, fail, none, ... (default: none)\n"
    "  --psl <file>            Public Suffix List used only to veto a tree-walk result\n"
    "  -n <nameserver>         DNS nameserver (default: 127.0.0.1)\n"
    "  -p <port>               DNS nameserver port (default: 53)\n"
    "  -m <ms>                 Wall-clock budget for the evaluation (default:\n"
    "                          20000, the daemon's MaxEvaluationMs; 0 disables)\n"
    "  -h                      Show this help\n"
    "\n"
    "Output keys:\n"
    "  result           DMARC result: pass, fail, none, temperror, permerror\n"
    "  disposition      Policy to apply: none, quarantine, reject\n"
    "  policy_domain    Name whose DMARC record supplied the policy\n"
    "  from_org         Organizational Domain of the Author Domain\n"
    "  spf_org          Organizational Domain of the SPF identifier, if walked\n"
    "  spf_aligned      yes or no\n"
    "  dkim_org         Organizational Domain of the DKIM identifier, if walked\n"
    "  dkim_aligned     yes or no\n"
    "\n"
    "Exit status is 0 whenever a verdict was reached, including \"fail\" \xE2\x80\x94 the\n"
    "verdict goes to stdout. A non-zero status means the tool could not run.\n";

} // namespace

const std::string_view k_usage_text(k_text, sizeof(k_text) - 1);

} // namespace corvane::check
