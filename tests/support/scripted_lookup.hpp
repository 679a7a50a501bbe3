#pragma once

#include "core/error.hpp"
#include "dns/answer.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::test {

// An in-memory TxtLookup. Each query name (compared without regard to case)
// gets scripted answers or one error; names without a script answer
// NXDOMAIN (DnsNameError). Like the resolver with an empty cache, it answers
// DnsTimeout once the deadline has passed. Every query name asked is
// recorded, in order and as written, with the deadline it came with.
class ScriptedLookup final : public dns::TxtLookup {
public:
  struct Record {
    std::uint16_t type = dns::k_type_txt;
    std::string data; // for TXT: the character-strings joined
  };

  // One TXT record per text.
  ScriptedLookup &txt(std::string_view name, std::vector<std::string> texts);
  // Records of any type, in answer order.
  ScriptedLookup &records(std::string_view name, std::vector<Record> records);
  ScriptedLookup &fail(std::string_view name, Error error);
  // What names without a script get; DnsNameError unless changed.
  ScriptedLookup &fail_unscripted(Error error);
  // Called with each query name before it is answered.
  ScriptedLookup &on_query(std::function<void(std::string_view)> hook);

  const std::vector<std::string> &queries() const noexcept { return queries_; }
  const std::vector<std::int64_t> &deadlines() const noexcept { return deadlines_; }
  void clear_queries() noexcept {
    queries_.clear();
    deadlines_.clear();
  }

  Result<dns::AnswerList> lookup_txt(std::string_view query_name,
                                     std::int64_t deadline_ms) override;

private:
  struct Script {
    std::vector<Record> records;
    Error error = Error::DnsNameError;
    bool failing = false;
  };
  static std::string key(std::string_view name);

  std::map<std::string, Script, std::less<>> scripts_;
  Error unscripted_ = Error::DnsNameError;
  std::function<void(std::string_view)> hook_;
  std::vector<std::string> queries_;
  std::vector<std::int64_t> deadlines_;
};

} // namespace corvane::test
