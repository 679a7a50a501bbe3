// `make demo`: the MTA side of a few messages sent to the daemon that
// `make run` started, and what the MTA receives for each.
#include "support/milter_client.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

using namespace corvane::test;

namespace {

struct Demo {
  const char *title;
  bool on_unix; // the quarantine listener; otherwise the reject listener
  std::string sender;
  std::vector<std::pair<std::string, std::string>> headers;
};

std::string shown(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n')
      out += "\n        ";
    else if (c == '\t')
      out += "  ";
    else
      out += c;
  }
  return out;
}

void print_reply(const MilterPacket &packet) {
  switch (packet.code) {
  case 'i': {
    const HeaderChange change = parse_header_change(packet);
    std::cout << "  insert at top:  " << change.name << ": " << shown(change.value) << "\n";
    return;
  }
  case 'm': {
    const HeaderChange change = parse_header_change(packet);
    std::cout << "  delete header:  " << change.name << " #" << change.index << "\n";
    return;
  }
  case 'y': std::cout << "  SMTP reply:     " << parse_reply_code_text(packet) << "\n"; return;
  case 'c': std::cout << "  verdict:        continue (deliver)\n"; return;
  case 't': std::cout << "  verdict:        temporary failure (the MTA retries later)\n"; return;
  case 'r': std::cout << "  verdict:        reject\n"; return;
  default: std::cout << "  reply:          " << packet << "\n";
  }
}

void run(const Demo &demo, const std::string &unix_path, std::uint16_t port) {
  std::cout << "=== " << demo.title << "  ("
            << (demo.on_unix ? "unix listener, Enforcement quarantine"
                             : "inet listener, Enforcement reject")
            << ")\n  MAIL FROM:      " << demo.sender << "\n";
  for (const auto &[name, value] : demo.headers)
    std::cout << "  header:         " << name << ": " << value << "\n";
  MilterClient client =
      demo.on_unix ? MilterClient::open_unix(unix_path) : MilterClient::open_tcp("127.0.0.1", port);
  client.negotiate();
  StandardMessage message;
  message.sender = demo.sender;
  message.headers = demo.headers;
  const MessageOutcome outcome = client.run_standard_message(message);
  std::cout << "The MTA receives:\n";
  for (const MilterPacket &packet : outcome.end_of_message)
    print_reply(packet);
  // A reply-code packet is the whole answer: nothing follows it.
  std::cout << "\n";
  client.quit();
}

} // namespace

int main(int argc, char **argv) {
  const std::string unix_path = argc > 1 ? argv[1] : "build/run/corvane.sock";
  const auto port = static_cast<std::uint16_t>(argc > 2 ? std::atoi(argv[2]) : 8894);
  const std::string ar = "Authentication-Results";
  const std::vector<Demo> demos{
      {"A passing message: SPF passed for the From domain",
       false,
       "<alice@example.test>",
       {{ar, "mx.demo.test; spf=pass smtp.mailfrom=example.test"},
        {"From", "Alice <alice@example.test>"},
        {"Subject", "lunch"},
        {"Message-ID", "<1@example.test>"}}},
      {"A forgery of example.test (p=reject) on the rejecting listener",
       false,
       "<ceo@spammer.test>",
       {{ar, "mx.demo.test; spf=pass smtp.mailfrom=spammer.test"},
        {"From", "The CEO <ceo@example.test>"},
        {"Subject", "urgent wire transfer"}}},
      {"A failing subdomain (sp=quarantine) on the quarantining listener",
       true,
       "<news@mailer.test>",
       {{"From", "News <news@news.example.test>"},
        {"X-Corvane-Disposition", "none (a forged tag)"},
        {"Subject", "weekly news"}}},
      {"A forged Authentication-Results claiming this host's authserv-id",
       false,
       "<alice@example.test>",
       {{ar, "mx.demo.test; dmarc=pass header.from=example.test"},
        {ar, "mx.demo.test; spf=pass smtp.mailfrom=example.test"},
        {"From", "alice@example.test"}}},
      {"A domain without a DMARC record",
       false,
       "<bob@nowhere.test>",
       {{"From", "bob@nowhere.test"}}},
  };
  try {
    for (const Demo &demo : demos)
      run(demo, unix_path, port);
  } catch (const std::exception &error) {
    std::cerr << "demo: " << error.what() << " (is the daemon running? start it with `make run`)\n";
    return 1;
  }
  return 0;
}
