#include "support/scripted_lookup.hpp"

#include "core/ascii.hpp"
#include "core/clock.hpp"

namespace corvane::test {

std::string ScriptedLookup::key(std::string_view name) {
  std::string folded(name);
  for (char &c : folded)
    c = ascii_lower(c);
  return folded;
}

ScriptedLookup &ScriptedLookup::txt(std::string_view name, std::vector<std::string> texts) {
  std::vector<Record> list;
  for (auto &text : texts)
    list.push_back({dns::k_type_txt, std::move(text)});
  return records(name, std::move(list));
}

ScriptedLookup &ScriptedLookup::records(std::string_view name, std::vector<Record> records) {
  scripts_[key(name)] = Script{std::move(records), Error::DnsNameError, false};
  return *this;
}

ScriptedLookup &ScriptedLookup::fail(std::string_view name, Error error) {
  scripts_[key(name)] = Script{{}, error, true};
  return *this;
}

ScriptedLookup &ScriptedLookup::fail_unscripted(Error error) {
  unscripted_ = error;
  return *this;
}

ScriptedLookup &ScriptedLookup::on_query(std::function<void(std::string_view)> hook) {
  hook_ = std::move(hook);
  return *this;
}

Result<dns::AnswerList> ScriptedLookup::lookup_txt(std::string_view query_name,
                                                   std::int64_t deadline_ms) {
  queries_.emplace_back(query_name);
  deadlines_.push_back(deadline_ms);
  if (hook_) hook_(query_name);
  if (deadline_passed(deadline_ms)) return Error::DnsTimeout;
  const auto found = scripts_.find(key(query_name));
  if (found == scripts_.end()) return unscripted_;
  if (found->second.failing) return found->second.error;
  dns::AnswerList answers;
  for (const auto &record : found->second.records) {
    auto &answer = answers.emplace_back();
    answer.name = query_name;
    answer.data = record.data;
    answer.ttl = 300;
    answer.type = record.type;
  }
  return answers;
}

} // namespace corvane::test
